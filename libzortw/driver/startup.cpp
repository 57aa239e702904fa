// Start-up and adapter configuration.
//
// Every request here is addressed to the adapter itself: a plain body in an
// envelope, sent once, its reply checked once. The frames and replies live
// in buffers on the stack, so the context's requestFrame and replyBuffer keep
// whatever the last block transfer left in them.
#include "driver/startup.h"

#include <cstring>

#include "base/log.h"
#include "zortw/log_formats.h"
#include "nitp/frame.h"
#include "nitp/transact.h"
#include "points/connect_secondary.h"
#include "serial/serial.h"

namespace {

constexpr int32_t kConfigureTimeout = 300;   // tens of ms: 3 s while configuring
constexpr uint32_t kAdapterSettleMs = 5000;  // the adapter's time to settle
constexpr int32_t kMinReadTimeout = 100;     // tens of ms: replies get at least 1 s

constexpr size_t kPortNameSize = sizeof(ColdStartParams::portName);

// The adapter's configuration sequence, sent in this order.
constexpr const char* kConfigurationSequence[] = {"12", "FF", "200100040300FE040000", "11", "30"};

// The reply to "12" reads 1 at positions 15 and 16 when the adapter is
// already configured. A shorter reply has no such positions.
bool AdapterAlreadyConfigured(const char* reply) {
  if (BoundedLength(reply, static_cast<int32_t>(kFrameBufferSize)) < 17) return false;
  return DecodeHex(reply + 15, 2) == 1;
}

}  // namespace

int32_t ColdStart(ZorRequest* request) {
  PortContext* context = request->context;
  const auto* params = static_cast<const ColdStartParams*>(request->params);

  // ready takes the host's flag first, so it stays even when the open fails.
  context->ready = params->enabled;
  if (params->enabled == 0) return 0;

  PortSettings settings{};
  std::memcpy(settings.portName, params->portName, kPortNameSize);
  settings.line = params->line;
  settings.handshake = kColdStartHandshake;
  settings.reserved = 0;

  // A name that fills all 12 bytes without its NUL names no device we could
  // hand on: refuse it like a device that does not open, printing only the
  // 12 bytes of the field.
  if (std::memchr(settings.portName, '\0', kPortNameSize) == nullptr) {
    char shown[kPortNameSize + 1] = {};
    std::memcpy(shown, settings.portName, kPortNameSize);
    LogLine(*request, log_format::kColdStartOpenFailed, shown);
    return 2;
  }

  SerialHandle handle = OpenPortDevice(settings);
  if (handle == 0) {
    LogLine(*request, log_format::kColdStartOpenFailed, settings.portName);
    return 2;
  }

  // A port this context still held would otherwise stay open with nobody
  // knowing its handle: close it once the new one is in place.
  SerialHandle replaced = context->portHandle;
  context->portHandle = handle;
  if (replaced != 0 && replaced != handle) SerialClose(replaced);

  int32_t readTimeout = params->readTimeout;
  SerialSetReadTimeout(handle, readTimeout);
  std::memcpy(&context->settings, &settings, sizeof settings);
  context->readTimeout = readTimeout < kMinReadTimeout ? kMinReadTimeout : readTimeout;
  std::memset(context->stations, 0, sizeof context->stations);

  // A failed configuration leaves the port open and the context set up; a
  // later WarmStart configures again.
  int32_t status = ConfigureAdapter(request);
  if (status == 0) {
    LogLine(*request, log_format::kColdStartLoaded);
  } else {
    LogLine(*request, log_format::kColdStartFailed, status);
  }
  return 0;
}

int32_t WarmStart(ZorRequest* request) {
  PortContext* context = request->context;
  SerialHandle handle = context->portHandle;
  if (handle != 0) {
    SerialPurgeInput(handle);
    int32_t status = ConfigureAdapter(request);
    if (status != 0) {
      LogLine(*request, log_format::kWarmStartFailed, status);
      return status;
    }
    ReconnectSecondarys(request);  // failures are logged there; the start succeeds
  }
  LogLine(*request, log_format::kWarmStartEnded, 0);
  return 0;
}

int32_t ConfigureAdapter(ZorRequest* request) {
  PortContext* context = request->context;
  SerialHandle handle = context->portHandle;
  char reply[kFrameBufferSize] = {};

  SerialSetReadTimeout(handle, kConfigureTimeout);

  int32_t status = AdapterRequest(*request, kConfigurationSequence[0], reply);
  if (status == 0 && AdapterAlreadyConfigured(reply)) {
    SerialSetReadTimeout(handle, context->readTimeout);
    return 0;
  }
  // Not configured yet, or no answer: either way the sequence goes on.

  for (size_t position = 1; position < 5; ++position) {
    std::memset(reply, 0, sizeof reply);
    status = AdapterRequest(*request, kConfigurationSequence[position], reply);
    if (position == 1) SerialSleep(kAdapterSettleMs);  // after "FF", whatever its status
    if (status != 0) break;
    if (position == 2) SerialSleep(kAdapterSettleMs);  // after the set-up, only on success
  }

  SerialSetReadTimeout(handle, context->readTimeout);
  if (status != 0) LogLine(*request, log_format::kConfigureFailed, status);
  return status;
}

int32_t ReconnectSecondarys(ZorRequest* request) {
  PortContext* context = request->context;
  char reply[kFrameBufferSize] = {};
  int32_t status = AdapterRequest(*request, "06", reply);
  if (status != 0) return status;

  // The station list: two hex digits per connected station from position 7
  // up to the checksum. The reply has passed its checks, so its length field
  // matches the text; the bound below only guards the arithmetic.
  bool connected[kStationTableSize] = {};
  int32_t length = DecodeHex(reply + 1, 4);
  int32_t received = BoundedLength(reply, static_cast<int32_t>(kFrameBufferSize));
  if (length > received) length = received;
  int32_t count = length < 12 ? 0 : (length - 12) / 2;
  for (int32_t i = 0; i < count; ++i) {
    int32_t station = DecodeHex(reply + 7 + 2 * i, 2);
    if (station >= 1 && station <= 254) connected[station] = true;
  }

  for (int32_t station = 1; station <= 254; ++station) {
    if (context->stations[station] != 1 || connected[station]) continue;
    if (ConnectSecondary(request, static_cast<uint8_t>(station)) != 0) {
      LogLine(*request, log_format::kReconnectFailed, station);
    }
  }
  return 0;
}
