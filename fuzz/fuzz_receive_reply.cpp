// Any bytes from the line as the answer to a request. Two ways in:
// - Transact with the read frame of four "V" words, then CheckReply: the
//   reply buffer always ends with a NUL within its 590 bytes, a status of 0
//   means a whole ":" ... ";" frame, and the check's answer is a status;
// - WarmStart through ZorMain on an instance whose station table marks some
//   stations: the adapter's answers (configuration, the station list, the
//   connects) come from the input, one line of it per request.
#include <cstdint>
#include <cstring>

#include "driver/zormain.h"
#include "fuzz/fuzz_support.h"
#include "nitp/transact.h"

namespace {

constexpr char kReadFrame[] = ":001E01050006200100040064DE6E;";

void ReceiveOne(fuzz::Input& input) {
  fuzz::Instance instance;
  const ZorRequest request = instance.Request(5, nullptr);
  const uint8_t stale = input.Byte();
  instance.line.Feed(input.Line());  // waiting before the request: purged, never the reply
  const std::string bytes = input.Rest();
  instance.line.Reply(bytes);

  char reply[kFrameBufferSize];
  std::memset(reply, stale, sizeof reply);
  const int32_t status = Transact(request, kReadFrame, reply);
  const char* nul = static_cast<const char*>(std::memchr(reply, 0, sizeof reply));
  FUZZ_CHECK(nul != nullptr);
  const size_t textChars = static_cast<size_t>(nul - reply);
  FUZZ_CHECK(status == 0 || status == ReplyIncomplete || status == SerialIoFailed);
  // A NUL byte from the line is stored like any other and ends the text
  // early; CheckReply then refuses the shortened text.
  if (status == 0) {
    FUZZ_CHECK(reply[0] == ':');
    if (bytes.find('\0') == std::string::npos) FUZZ_CHECK(reply[textChars - 1] == ';');
  }
  FUZZ_CHECK(instance.line.PendingInput().empty());  // the rest of the reply was dropped

  const int32_t check = CheckReply(request, reply);
  FUZZ_CHECK(check >= 0 && check <= 0xFFFF);
}

void WarmStartOne(fuzz::Input& input) {
  fuzz::Instance instance;
  instance.context.ready = 1;
  instance.context.readTimeout = 100;
  // Up to eight marked stations, any of 0 to 254.
  const uint8_t marks = input.Byte() % 9;
  for (uint8_t i = 0; i < marks; ++i)
    instance.context.stations[input.Byte() % kStationTableSize] = 1;
  while (!input.Empty()) instance.line.Reply(fuzz::ReplyFromLine(input.Line()));

  ZorRequest request = instance.Request(2, nullptr);
  const int32_t status = ZorMain(&request);
  FUZZ_CHECK(status >= 0 && status <= 0xFFFF);
  FUZZ_CHECK(instance.context.portHandle != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  if (input.Byte() % 2 == 0) {
    ReceiveOne(input);
  } else {
    WarmStartOne(input);
  }
  return 0;
}
