#include "serial/serial.h"

SerialHandle OpenPortDevice(const PortSettings& settings) {
  SerialHandle handle = 0;
  LineSettings line = settings.line;  // the packed field, taken by value
  if (SerialOpen(settings.portName, line, settings.handshake, &handle) != SerialOk) return 0;
  return handle;
}
