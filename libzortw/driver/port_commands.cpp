// Port commands: Stop, ClosePort, OpenPort and ReopenPort.
//
// They work on portHandle, ready, readTimeout and settings of the instance's
// context, open devices through OpenPortDevice and close them through
// SerialClose. Every failure of the serial layer reaches the host as 2.
//
// The context is byte-packed: its fields are read and written by value or
// with memcpy, never through references to them.
#include "driver/port_commands.h"

#include <cstring>

#include "serial/serial.h"

namespace {

constexpr int32_t kPortFailed = 2;
constexpr size_t kNameSize = sizeof(PortSettings::portName);
static_assert(sizeof(ReopenPortParams::portName) == kNameSize);

// A port name is only usable when its NUL lies within the field; nothing is
// ever read past the 12 bytes.
bool NameIsTerminated(const char* name) {
  return std::memchr(name, '\0', kNameSize) != nullptr;
}

// Opens the device that the context's settings describe and, on success,
// stores the new handle. When a further open of a device succeeded while a
// port was open (the null device allows it), the handle being replaced is
// closed after the new one is stored, so no handle is left behind.
bool OpenStoredDevice(PortContext* context) {
  PortSettings settings;
  std::memcpy(&settings, &context->settings, sizeof settings);
  if (!NameIsTerminated(settings.portName)) return false;
  const SerialHandle handle = OpenPortDevice(settings);
  if (handle == 0) return false;
  const SerialHandle replaced = context->portHandle;
  context->portHandle = handle;
  if (replaced != 0 && replaced != handle) SerialClose(replaced);
  return true;
}

}  // namespace

int32_t ClosePort(ZorRequest* request) {
  PortContext* context = request->context;
  const SerialHandle handle = context->portHandle;
  if (handle == 0) return 0;
  if (SerialClose(handle) != SerialOk) {
    // The close failed. While the port is still open the instance keeps its
    // handle to close it later; a handle the serial layer no longer knows
    // (it gave up the port, or never opened it) is nothing to keep.
    if (!SerialIsOpen(handle)) context->portHandle = 0;
    return kPortFailed;
  }
  context->portHandle = 0;
  return 0;
}

int32_t Stop(ZorRequest* request) {
  return ClosePort(request);
}

int32_t OpenPort(ZorRequest* request) {
  PortContext* context = request->context;
  // The port keeps the 1000 ms read time-out of a fresh open until the
  // adapter configuration sets its own; readTimeout is not applied here.
  if (!OpenStoredDevice(context)) return kPortFailed;
  context->ready = 1;
  return 0;
}

int32_t ReopenPort(ZorRequest* request) {
  PortContext* context = request->context;
  const auto* params = static_cast<const ReopenPortParams*>(request->params);
  // A block without one, or with a name that does not end within its 12
  // bytes, names no device: refused before anything changes.
  if (params == nullptr || !NameIsTerminated(params->portName)) return kPortFailed;

  // 0 keeps the instance's time-out; so does a negative one, which stored
  // as it is would make each byte of a reply wait without end.
  const int32_t readTimeout = params->readTimeout;
  if (readTimeout > 0) context->readTimeout = readTimeout;

  // Another name (compared case-sensitively, whole text) closes the open
  // port first; a failed close leaves its handle stored and is otherwise
  // ignored.
  const bool otherDevice =
      std::strncmp(params->portName, context->settings.portName, kNameSize) != 0;
  if (otherDevice && context->portHandle != 0) ClosePort(request);

  // The name up to and including its NUL, then the line settings as one
  // block; handshake and reserved keep their values.
  std::memcpy(context->settings.portName, params->portName, std::strlen(params->portName) + 1);
  std::memcpy(&context->settings.line, &params->line, sizeof(LineSettings));

  // On failure the new settings stay stored for a later OpenPort, and
  // portHandle keeps what it held (0 after the close above).
  if (!OpenStoredDevice(context)) return kPortFailed;
  return 0;
}
