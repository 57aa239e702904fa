// The serial layer on the Windows communications API. Every call is
// synchronous (no overlapped I/O) and goes through a Win32Calls table; the
// public functions use the real one.
//
// The driver holds the device HANDLE that CreateFileA gave, as the host
// record defines the port handle; the backend keeps each port it opened in
// its port table (serial/port_table.h) under that HANDLE, and a number it did
// not give out, or has closed, reaches no system call.
#include <cstdint>
#include <cstring>

#include "serial/port_table.h"
#include "serial/reception_clock.h"
#include "serial/serial.h"
#include "serial/win32/win32_calls.h"

static_assert(sizeof(DCB) == kDcbLength);

constinit const Win32Calls kWin32Calls = {
    &::CreateFileA,    &::GetCommState,   &::SetCommState, &::GetCommTimeouts, &::SetCommTimeouts,
    &::SetupComm,      &::ClearCommError, &::ReadFile,     &::WriteFile,       &::SetCommBreak,
    &::ClearCommBreak, &::CloseHandle,    &::Sleep,        &::PurgeComm,       &::GetTickCount64,
};

namespace {

struct Port {
  HANDLE device;
  DWORD timeoutMs;           // the total read time-out the backend set
  uint32_t charUs;           // one character's time at the line's rate
  ReceptionClock reception;  // on the tick clock
};

SerialHandle KeyOf(HANDLE device) {
  return static_cast<SerialHandle>(reinterpret_cast<uintptr_t>(device));
}

// The backend's only process-wide state.
constinit serial_table::PortTable<Port> g_ports;

}  // namespace

HANDLE DeviceOf(SerialHandle handle) {
  const Port* port = g_ports.Find(handle);
  return port == nullptr ? INVALID_HANDLE_VALUE : port->device;
}

COMMTIMEOUTS OpenTimeouts(const LineSettings& line) {
  const uint32_t charUs = LineCharacterMicros(line);
  // WriteFile's bound is a multiplier per byte and a constant: twice a
  // character's time, rounded up to whole milliseconds, and the margin.
  const DWORD perByteMs = (2 * charUs + 999) / 1000;
  return COMMTIMEOUTS{0, 0, kOpenReadTimeoutMs, perByteMs, kSerialWriteMarginMs};
}

void ApplyLineSettings(DCB& dcb, const LineSettings& line, uint16_t handshake) {
  dcb.BaudRate = line.baudRate;
  dcb.fBinary = 1;
  dcb.fParity = 1;  // parity errors are detected whatever the parity setting
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = HandshakeDtrControl(handshake);
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;  // received NUL bytes are data
  dcb.fRtsControl = HandshakeRtsControl(handshake);
  dcb.fAbortOnError = 0;
  dcb.ByteSize = static_cast<BYTE>(line.dataBits & 0xFF);
  dcb.Parity = static_cast<BYTE>(line.parity & 0xFF);
  dcb.StopBits = static_cast<BYTE>(line.stopBits & 0xFF);
  dcb.ErrorChar = static_cast<char>(kErrorChar);
}

DWORD ReadTimeoutMs(int32_t timeout) {
  // A time-out of 0 or less cannot be given to the device as it is: with
  // every read time-out member 0, Windows lets a read wait until its whole
  // count has arrived, which on a quiet line is forever. The caller asked
  // for no wait, so it gets the shortest wait the layer's own unit can
  // express, one tick of 10 ms; SerialSetReadTimeout then reports it back as
  // 1, so a purge saves and restores it like any other value.
  if (timeout <= 0) return 10;
  // timeout * 10 does not fit 32 bits above 429496729 ticks: compute it in
  // 64 bits and clamp to the longest finite wait, 0xFFFFFFFE ms (49.7 days);
  // 0xFFFFFFFF is INFINITE to the system's waits.
  constexpr uint64_t kLongestMs = 0xFFFFFFFEu;
  const uint64_t ms = static_cast<uint64_t>(timeout) * 10u;
  return static_cast<DWORD>(ms < kLongestMs ? ms : kLongestMs);
}

namespace {

// Closes a handle whose configuration failed; the close's result does not
// change the status the caller reports.
void CloseAfterFailure(const Win32Calls& calls, HANDLE handle) {
  calls.closeHandle(handle);
}

// The steps of SerialOpen after the device has opened: 0, or the status of
// the step that failed, with the device closed again.
int32_t ConfigureDevice(const Win32Calls& calls, HANDLE device, const char* name,
                        const LineSettings& line, uint16_t handshake) {
  // The null device serves as a dummy port: it has no line state to set.
  if (std::strcmp(name, kNullPortName) == 0) return SerialOk;

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = kDcbLength;
  if (!calls.getCommState(device, &dcb)) {
    CloseAfterFailure(calls, device);
    return SerialNoLineState;
  }

  // Reads wait at most one second in total; writes have their bound.
  COMMTIMEOUTS timeouts = OpenTimeouts(line);
  if (!calls.setCommTimeouts(device, &timeouts)) {
    CloseAfterFailure(calls, device);
    return SerialCannotOpen;
  }

  ApplyLineSettings(dcb, line, handshake);
  if (!calls.setCommState(device, &dcb)) {
    CloseAfterFailure(calls, device);
    return SerialLineRefused;
  }

  calls.setupComm(device, kQueueSize, kQueueSize);  // a request; the device may keep its own
  return SerialOk;
}

}  // namespace

int32_t SerialOpenWith(const Win32Calls& calls, const char* name, const LineSettings& line,
                       uint16_t handshake, SerialHandle* handle) {
  *handle = kSerialInvalidHandle;
  // A full table: refused like a device that cannot be opened.
  SerialHandle claimed = 0;
  Port* port = g_ports.Claim(&claimed);
  if (port == nullptr) return SerialCannotOpen;

  const HANDLE device = calls.createFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    g_ports.Abandon(claimed);
    return SerialCannotOpen;
  }
  port->device = device;
  port->timeoutMs = kOpenReadTimeoutMs;
  port->charUs = std::strcmp(name, kNullPortName) == 0 ? 0 : LineCharacterMicros(line);
  *handle = KeyOf(device);  // from here on even when a later step closes the device again
  const int32_t status = ConfigureDevice(calls, device, name, line, handshake);
  if (status == SerialOk) {
    g_ports.Publish(claimed, KeyOf(device));
  } else {
    g_ports.Abandon(claimed);
  }
  return status;
}

int32_t SerialCloseWith(const Win32Calls& calls, SerialHandle handle) {
  uint32_t slot = 0;
  const Port* port = g_ports.Retire(handle, &slot);
  if (port == nullptr) return SerialIoFailed;
  if (!calls.closeHandle(port->device)) {
    g_ports.Restore(slot, handle);  // still open: the caller keeps the handle
    return SerialIoFailed;
  }
  g_ports.Release(slot);
  return SerialOk;
}

int32_t SerialSetReadTimeoutWith(const Win32Calls& calls, SerialHandle handle, int32_t timeout) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return 0;
  COMMTIMEOUTS timeouts;
  if (!calls.getCommTimeouts(port->device, &timeouts)) return 0;
  const DWORD previous = timeouts.ReadTotalTimeoutConstant;
  const DWORD wanted = ReadTimeoutMs(timeout);
  if (wanted != previous) {
    timeouts.ReadTotalTimeoutConstant = wanted;
    if (!calls.setCommTimeouts(port->device, &timeouts)) return 0;
  }
  port->timeoutMs = wanted;
  return static_cast<int32_t>(previous / 10u);  // at most 429496729
}

int32_t SerialPurgeInputWith(const Win32Calls& calls, SerialHandle handle) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialCannotOpen;
  const HANDLE device = port->device;
  port->reception.Lift();
  DWORD errors = 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  const bool cleared = calls.clearCommError(device, &errors, &status) != 0;
  if (cleared && status.cbInQue == 0) return SerialOk;

  // Input is waiting (or the device would not say): drain it in blocks at a
  // short time-out until a read comes back short, that is until the line
  // has been quiet for 50 ms, or the bound of blocks is reached on a line
  // that never falls quiet.
  const int32_t saved = SerialSetReadTimeoutWith(calls, handle, kPurgeReadTimeout);
  unsigned char scratch[kPurgeBlockSize];
  BOOL ok;
  DWORD got;
  int blocks = 0;
  do {
    got = 0;
    ok = calls.readFile(device, scratch, kPurgeBlockSize, &got, nullptr);
  } while (ok && got == kPurgeBlockSize && ++blocks < kPurgeBlocksAtMost);

  // 0 means the time-outs could not be read (or were under 10 ms): nothing
  // to put back.
  if (saved != 0) SerialSetReadTimeoutWith(calls, handle, saved);
  return ok ? SerialOk : SerialCannotOpen;
}

int32_t SerialSendBreakWith(const Win32Calls& calls, uint32_t milliseconds, SerialHandle handle) {
  // A handle that is not open still waits, without touching any device.
  const HANDLE device = DeviceOf(handle);
  const bool open = device != INVALID_HANDLE_VALUE;
  if (open) calls.setCommBreak(device);
  calls.sleep(milliseconds);
  if (open) calls.clearCommBreak(device);
  return SerialOk;
}

int32_t SerialWriteWith(const Win32Calls& calls, SerialHandle handle, const void* buffer,
                        uint32_t count, uint32_t* written) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialIoFailed;
  const HANDLE device = port->device;
  port->reception.Lift();
  DWORD done = 0;
  const BOOL ok = calls.writeFile(device, buffer, count, &done, nullptr);
  // A write that failed or ran out of its time-out (flow control, a peer
  // that stopped reading) leaves nothing behind to be sent later.
  if (!ok || done != count) calls.purgeComm(device, PURGE_TXABORT | PURGE_TXCLEAR);
  if (!ok) return SerialIoFailed;
  if (written != nullptr) *written = done;
  port->reception.Wrote(port->charUs, done);
  return done == count ? SerialOk : SerialShortWrite;
}

int32_t SerialLimitReceptionWith(SerialHandle handle, uint32_t timeouts, uint32_t maxBytes) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialOk;
  port->reception.Limit(timeouts, port->timeoutMs, port->charUs, maxBytes);
  return SerialOk;
}

namespace {

// One ReadFile under the port's time-out, or under the wait this read may
// have when it differs: a read after a write waits until the written bytes
// have left the line and then the time-out, and no read outlasts a
// reception bound. The time-out is changed for that one read and put back
// after it. false when a call failed or the reception bound has passed (got
// is then 0).
bool ReadWithin(const Win32Calls& calls, Port& port, void* buffer, DWORD ask, DWORD* got) {
  *got = 0;
  uint64_t wait = port.timeoutMs;
  ReceptionClock& reception = port.reception;
  if (reception.Bounded() || reception.WriteLeftUnknown()) {
    const ULONGLONG now = calls.getTickCount64();
    reception.Start(now);
    // Under one tick of the time-out's unit the wait is not worth changing.
    if (reception.WriteLeft() >= now + 10) wait += reception.WriteLeft() - now;
    if (reception.End() != ReceptionClock::kNone) {
      if (now >= reception.End()) return false;
      if (reception.End() - now < wait) wait = reception.End() - now;
    }
  }
  if (wait == port.timeoutMs) return calls.readFile(port.device, buffer, ask, got, nullptr) != 0;

  COMMTIMEOUTS usual;
  if (!calls.getCommTimeouts(port.device, &usual)) return false;
  COMMTIMEOUTS once = usual;
  once.ReadTotalTimeoutConstant = static_cast<DWORD>(wait);
  if (!calls.setCommTimeouts(port.device, &once)) return false;
  const BOOL ok = calls.readFile(port.device, buffer, ask, got, nullptr);
  calls.setCommTimeouts(port.device, &usual);
  return ok != 0;
}

}  // namespace

int32_t SerialReadWith(const Win32Calls& calls, SerialHandle handle, void* buffer, uint32_t count,
                       uint32_t* received) {
  if (received != nullptr) *received = 0;
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialIoFailed;
  // Nothing asked, nothing to wait for: all of it has arrived.
  if (count == 0) return SerialOk;
  auto* bytes = static_cast<unsigned char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    // Each request is at most 65535 bytes. Callers ask for far less; a larger
    // count is read in several requests rather than one whose size has lost
    // its upper bits (and, for a multiple of 65536, asks for nothing).
    const uint32_t remaining = count - total;
    const DWORD ask = remaining < 0xFFFFu ? remaining : 0xFFFFu;
    DWORD got = 0;
    if (!ReadWithin(calls, *port, bytes + total, ask, &got)) return SerialIoFailed;
    if (got == 0) return SerialIoFailed;  // the time-out elapsed with nothing received
    total += got;
    if (received != nullptr) *received = total;
  }
  return SerialOk;
}

int32_t SerialSleepWith(const Win32Calls& calls, uint32_t milliseconds) {
  calls.sleep(milliseconds);
  return 0;
}

// The layer's interface, on the real system.

int32_t SerialOpen(const char* name, const LineSettings& line, uint16_t handshake,
                   SerialHandle* handle) {
  return SerialOpenWith(kWin32Calls, name, line, handshake, handle);
}
int32_t SerialClose(SerialHandle handle) {
  return SerialCloseWith(kWin32Calls, handle);
}
int32_t SerialSetReadTimeout(SerialHandle handle, int32_t timeout) {
  return SerialSetReadTimeoutWith(kWin32Calls, handle, timeout);
}
int32_t SerialPurgeInput(SerialHandle handle) {
  return SerialPurgeInputWith(kWin32Calls, handle);
}
int32_t SerialSendBreak(uint32_t milliseconds, SerialHandle handle) {
  return SerialSendBreakWith(kWin32Calls, milliseconds, handle);
}
int32_t SerialWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written) {
  return SerialWriteWith(kWin32Calls, handle, buffer, count, written);
}
int32_t SerialRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t* received) {
  return SerialReadWith(kWin32Calls, handle, buffer, count, received);
}
int32_t SerialSleep(uint32_t milliseconds) {
  return SerialSleepWith(kWin32Calls, milliseconds);
}
// The device driver queues what arrives and ReadFile returns as soon as the
// count is there: nothing to gather.
int32_t SerialExpectInput(SerialHandle, uint32_t) {
  return 0;
}
int32_t SerialLimitReception(SerialHandle handle, uint32_t timeouts, uint32_t maxBytes) {
  return SerialLimitReceptionWith(handle, timeouts, maxBytes);
}
bool SerialReceptionOver(SerialHandle handle) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr || !port->reception.Bounded()) return true;
  return port->reception.Over(kWin32Calls.getTickCount64());
}
bool SerialIsOpen(SerialHandle handle) {
  return g_ports.Find(handle) != nullptr;
}
void* SerialUserData(SerialHandle handle) {
  return g_ports.UserData(handle);
}
