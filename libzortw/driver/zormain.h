// The library's entry: ZorMain, the one export a host calls.
#pragma once

#include <cstdint>

#include "base/export.h"
#include "base/records.h"

// Status of a code that has no command (0, 8, 9, anything outside 1 to 15).
// It lies outside every status a command can return (0 to 65535).
inline constexpr int32_t kNoCommand = ZOR_NO_COMMAND;

// ZorMain itself is declared by the public header (base/records.h).

// The handler for a command code; a handler returning kNoCommand for codes
// without a command.
HandlerFn CommandHandler(int32_t command);
