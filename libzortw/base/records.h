// Records shared with the host, and the instance context, under the names
// the driver's code uses. Their one definition, with the offsets pinned for
// a 32-bit process, is the public header include/zortw/zortw.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/port_settings.h"
#include "zortw/zortw.h"

inline constexpr int32_t kContextSize = ZOR_CONTEXT_SIZE;
inline constexpr size_t kFrameBufferSize = ZOR_FRAME_BUFFER_SIZE;
inline constexpr size_t kStationTableSize = ZOR_STATION_TABLE_SIZE;

// The records are the public header's (include/zortw/zortw.h), so that the
// driver and its hosts cannot disagree on them.
using PortContext = ZorPortContext;

using HandlerFn = int32_t (*)(ZorRequest* request);

using DriverInfo = ZorDriverInfo;
using ReopenPortParams = ZorReopenPortParams;
using ColdStartParams = ZorColdStartParams;

// Command codes (ZOR_COLD_START ...), statuses (ZOR_OK, ZOR_REFUSED,
// ZOR_LINE_FAILURE, ZOR_REPLY_INVALID ...) and their meanings are the public
// header's too: the dispatch table and every host use those names.
