#include "driver/zormain.h"

#include "driver/driver_info.h"
#include "driver/port_commands.h"
#include "driver/startup.h"
#include "points/block_transfer.h"
#include "points/define_point.h"

namespace {

int32_t NoCommand(ZorRequest*) { return kNoCommand; }

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

}  // namespace

HandlerFn CommandHandler(int32_t command) {
  if (command < 0 || command > 15) return NoCommand;
  return kCommandTable[command];
}

extern "C" int32_t ZORTW_CALL ZorMain(ZorRequest* request) {
  return CommandHandler(request->command)(request);
}
