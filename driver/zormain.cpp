#include "driver/zormain.h"

#include "driver/driver_info.h"
#include "driver/port_commands.h"
#include "driver/startup.h"
#include "points/block_transfer.h"
#include "points/define_point.h"

namespace {

int32_t NoCommand(ZorRequest*) {
  return kNoCommand;
}

// Command code to handler, codes 0 to 15.
constexpr HandlerFn kCommandTable[16] = {
    NoCommand,            // 0
    ColdStart,            // 1
    WarmStart,            // 2
    DefinePoint,          // 3
    CheckBlock,           // 4
    ReadBlock,            // 5
    ReadBlockUnchecked,   // 6
    WriteBlock,           // 7
    NoCommand,            // 8
    NoCommand,            // 9
    WriteBlockUnchecked,  // 10
    Stop,                 // 11
    ClosePort,            // 12
    OpenPort,             // 13
    GetDriverInfo,        // 14
    ReopenPort,           // 15
};

// What a command needs from the request besides its code. A host mistake
// (a null context or parameter block where the command needs one) is
// refused with 1 before the handler runs: nothing is touched, nothing sent.
// GetDriverInfo needs no context; ReopenPort answers a missing parameter
// block with 2 itself, like any block naming no device.
enum Needs : uint8_t { NeedsNothing = 0, NeedsContext = 1, NeedsParams = 2, NeedsBoth = 3 };
constexpr Needs kCommandNeeds[16] = {
    NeedsNothing,  // 0
    NeedsBoth,     // 1 ColdStart
    NeedsContext,  // 2 WarmStart
    NeedsBoth,     // 3 DefinePoint
    NeedsBoth,     // 4 CheckBlock
    NeedsBoth,     // 5 ReadBlock
    NeedsBoth,     // 6 ReadBlockUnchecked
    NeedsBoth,     // 7 WriteBlock
    NeedsNothing,  // 8
    NeedsNothing,  // 9
    NeedsBoth,     // 10 WriteBlockUnchecked
    NeedsContext,  // 11 Stop
    NeedsContext,  // 12 ClosePort
    NeedsContext,  // 13 OpenPort
    NeedsParams,   // 14 GetDriverInfo
    NeedsContext,  // 15 ReopenPort
};

constexpr int32_t kHostMistake = 1;

}  // namespace

HandlerFn CommandHandler(int32_t command) {
  if (command < 0 || command > 15) return NoCommand;
  return kCommandTable[command];
}

extern "C" int32_t ZORTW_CALL ZorMain(ZorRequest* request) {
  if (request == nullptr) return kHostMistake;
  const int32_t command = request->command;
  if (command >= 0 && command <= 15) {
    const Needs needs = kCommandNeeds[command];
    if ((needs & NeedsContext) != 0 && request->context == nullptr) return kHostMistake;
    if ((needs & NeedsParams) != 0 && request->params == nullptr) return kHostMistake;
  }
  return CommandHandler(command)(request);
}
