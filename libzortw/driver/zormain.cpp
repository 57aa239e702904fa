#include "driver/zormain.h"

#include <array>

#include "driver/driver_info.h"
#include "driver/port_commands.h"
#include "driver/startup.h"
#include "nitp/reply_verdict.h"
#include "nitp/transact.h"
#include "points/block_transfer.h"
#include "points/define_point.h"
#include "serial/serial.h"

// The statuses the public header names are the layers' own.
static_assert(ReplyInvalid == ZOR_REPLY_INVALID);
static_assert(ReplyIncomplete == ZOR_REPLY_INCOMPLETE);
static_assert(static_cast<int32_t>(SerialIoFailed) == ZOR_NO_REPLY);
static_assert(static_cast<int32_t>(SerialIoFailed) == ZOR_SERIAL_IO_FAILED);
static_assert(static_cast<int32_t>(SerialCannotOpen) == ZOR_SERIAL_CANNOT_OPEN);
static_assert(static_cast<int32_t>(SerialShortWrite) == ZOR_SERIAL_SHORT_WRITE);
static_assert(static_cast<int32_t>(SerialNoLineState) == ZOR_SERIAL_NO_LINE_STATE);
static_assert(static_cast<int32_t>(SerialLineRefused) == ZOR_SERIAL_LINE_REFUSED);

namespace {

int32_t NoCommand(ZorRequest*) {
  return kNoCommand;
}

// What a command needs from the request besides its code. A host mistake
// (a null context or parameter block where the command needs one) is
// refused with 1 before the handler runs: nothing is touched, nothing sent.
// GetDriverInfo needs no context; ReopenPort answers a missing parameter
// block with 2 itself, like any block naming no device.
enum Needs : uint8_t { NeedsNothing = 0, NeedsContext = 1, NeedsParams = 2, NeedsBoth = 3 };

struct Command {
  HandlerFn handler;
  Needs needs;
};

// Command code to handler and needs, codes 0 to 15.
constexpr std::array<Command, ZOR_COMMAND_LAST + 1> MakeCommandTable() {
  std::array<Command, ZOR_COMMAND_LAST + 1> table{};
  table.fill({NoCommand, NeedsNothing});
  table[ZOR_COLD_START] = {ColdStart, NeedsBoth};
  table[ZOR_WARM_START] = {WarmStart, NeedsContext};
  table[ZOR_DEFINE_POINT] = {DefinePoint, NeedsBoth};
  table[ZOR_CHECK_BLOCK] = {CheckBlock, NeedsBoth};
  table[ZOR_READ_BLOCK] = {ReadBlock, NeedsBoth};
  table[ZOR_READ_BLOCK_UNCHECKED] = {ReadBlockUnchecked, NeedsBoth};
  table[ZOR_WRITE_BLOCK] = {WriteBlock, NeedsBoth};
  table[ZOR_WRITE_BLOCK_UNCHECKED] = {WriteBlockUnchecked, NeedsBoth};
  table[ZOR_STOP] = {Stop, NeedsContext};
  table[ZOR_CLOSE_PORT] = {ClosePort, NeedsContext};
  table[ZOR_OPEN_PORT] = {OpenPort, NeedsContext};
  table[ZOR_GET_DRIVER_INFO] = {GetDriverInfo, NeedsParams};
  table[ZOR_REOPEN_PORT] = {ReopenPort, NeedsContext};
  return table;
}
constexpr auto kCommandTable = MakeCommandTable();

constexpr int32_t kHostMistake = ZOR_REFUSED;

}  // namespace

HandlerFn CommandHandler(int32_t command) {
  if (command < 0 || command > ZOR_COMMAND_LAST) return NoCommand;
  return kCommandTable[command].handler;
}

extern "C" int32_t ZORTW_CALL ZorMain(ZorRequest* request) {
  if (request == nullptr) return kHostMistake;
  const int32_t command = request->command;
  if (command >= 0 && command <= ZOR_COMMAND_LAST) {
    const Needs needs = kCommandTable[command].needs;
    if ((needs & NeedsContext) != 0 && request->context == nullptr) return kHostMistake;
    if ((needs & NeedsParams) != 0 && request->params == nullptr) return kHostMistake;
  }
  return CommandHandler(command)(request);
}
