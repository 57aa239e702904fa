// Placeholder until the Windows backend lands: no device can be opened.
#include "serial/serial.h"

int32_t SerialOpen(const char*, const LineSettings&, uint16_t, SerialHandle* handle) {
  *handle = kSerialInvalidHandle;
  return SerialCannotOpen;
}
int32_t SerialClose(SerialHandle) { return SerialIoFailed; }
int32_t SerialSetReadTimeout(SerialHandle, int32_t) { return 0; }
int32_t SerialPurgeInput(SerialHandle) { return 0; }
int32_t SerialSendBreak(uint32_t, SerialHandle) { return 0; }
int32_t SerialWrite(SerialHandle, const void*, uint32_t, uint32_t*) { return SerialIoFailed; }
int32_t SerialRead(SerialHandle, void*, uint32_t, uint32_t* received) {
  if (received) *received = 0;
  return SerialIoFailed;
}
int32_t SerialSleep(uint32_t) { return 0; }
