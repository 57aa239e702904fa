// Records shared with the host, and the instance context.
//
// The host lays out ZorRequest and DriverInfo for a 32-bit process; the
// offsets below are pinned for that build. A 64-bit Linux build keeps the
// same field order with native pointers. The PortContext is byte-packed and
// exactly 1470 bytes in every build: the host allocates contextSize bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/port_settings.h"

inline constexpr int32_t kContextSize = 1470;
inline constexpr size_t kFrameBufferSize = 590;   // 589 characters and a NUL
inline constexpr size_t kStationTableSize = 255;  // indexed by station 0..254

#pragma pack(push, 1)
struct PortContext {
  int32_t readTimeout;  // reply time-out, tens of milliseconds
  uint32_t portHandle;  // the open port; 0 when none
  uint32_t ready;       // non-zero while the instance is active
  PortSettings settings;
  char requestFrame[kFrameBufferSize];  // request of the last block transfer
  char replyBuffer[kFrameBufferSize];   // its reply
  uint8_t stations[kStationTableSize];  // 1: connect request issued for that station
};
#pragma pack(pop)

static_assert(sizeof(PortContext) == kContextSize);
static_assert(offsetof(PortContext, readTimeout) == 0);
static_assert(offsetof(PortContext, portHandle) == 4);
static_assert(offsetof(PortContext, ready) == 8);
static_assert(offsetof(PortContext, settings) == 12);
static_assert(offsetof(PortContext, requestFrame) == 35);
static_assert(offsetof(PortContext, replyBuffer) == 625);
static_assert(offsetof(PortContext, stations) == 1215);

struct ZorRequest {
  PortContext* context;  // the instance's context
  int32_t command;       // command code, 1 to 15
  int32_t instance;      // the host's number for the instance (log lines)
  uint32_t reserved;     // never read
  void* params;          // the command's parameter block
};

using HandlerFn = int32_t (*)(ZorRequest* request);

struct DriverInfo {
  int32_t driverId;
  const char* name;
  const char* banner;
  int32_t contextSize;
  int32_t infoValueA;
  LineSettings defaultLine;
  int32_t infoValueB;
};

struct ReopenPortParams {
  char portName[12];
  int32_t readTimeout;  // tens of milliseconds; 0 keeps the instance's value
  LineSettings line;
};

struct ColdStartParams {
  char portName[12];
  uint32_t enabled;     // 0: stay inactive, open nothing
  int32_t readTimeout;  // tens of milliseconds
  LineSettings line;
};

// Layouts the host compiles against (32-bit process).
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ZorRequest) == 20);
static_assert(offsetof(ZorRequest, context) == 0);
static_assert(offsetof(ZorRequest, command) == 4);
static_assert(offsetof(ZorRequest, instance) == 8);
static_assert(offsetof(ZorRequest, reserved) == 12);
static_assert(offsetof(ZorRequest, params) == 16);
static_assert(sizeof(DriverInfo) == 32);
static_assert(offsetof(DriverInfo, driverId) == 0);
static_assert(offsetof(DriverInfo, name) == 4);
static_assert(offsetof(DriverInfo, banner) == 8);
static_assert(offsetof(DriverInfo, contextSize) == 12);
static_assert(offsetof(DriverInfo, infoValueA) == 16);
static_assert(offsetof(DriverInfo, defaultLine) == 20);
static_assert(offsetof(DriverInfo, infoValueB) == 28);
#endif
static_assert(sizeof(ReopenPortParams) == 24);
static_assert(offsetof(ReopenPortParams, readTimeout) == 12);
static_assert(offsetof(ReopenPortParams, line) == 16);
static_assert(sizeof(ColdStartParams) == 28);
static_assert(offsetof(ColdStartParams, enabled) == 12);
static_assert(offsetof(ColdStartParams, readTimeout) == 16);
static_assert(offsetof(ColdStartParams, line) == 20);
