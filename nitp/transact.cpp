// One request, one reply: the frame goes out whole, the reply comes back one
// byte per read, and CheckReply validates it.
#include "nitp/transact.h"

#include <cstring>

#include "base/log.h"
#include "nitp/frame.h"
#include "serial/serial.h"

namespace {

constexpr int32_t kStrayBytesAllowed = 3;  // the third stray byte ends reception
constexpr uint32_t kSettleMs = 50;         // pause after every reply before the purge

// Length of a text held in a frame buffer, never looking past the buffer.
inline int32_t TextLength(const char* text) {
  return BoundedLength(text, static_cast<int32_t>(kFrameBufferSize));
}

constexpr int32_t kLengthFieldEnd = 5;  // ":" and four digits

void ExpectRest(SerialHandle port, const char* reply) {
  if (!AllUpperHex(reply + 1, kLengthFieldEnd - 1)) return;
  const int32_t length = DecodeHex(reply + 1, 4) & 0xFFFF;
  if (length <= kLengthFieldEnd || length > kMaxFrameChars) return;
  SerialExpectInput(port, static_cast<uint32_t>(length - kLengthFieldEnd));
}

}  // namespace

int32_t Transact(const ZorRequest& request, const char* frame, char* reply) {
  const int32_t status = SendFrame(request, frame, static_cast<uint32_t>(TextLength(frame)));
  if (status != 0) return status;
  return ReceiveReply(request, reply);
}

int32_t SendFrame(const ZorRequest& request, const char* frame, uint32_t length) {
  if (request.context == nullptr) return SerialIoFailed;  // no instance, no port
  const SerialHandle port = request.context->portHandle;
  SerialPurgeInput(port);  // nothing left from earlier traffic may pass for the reply
  uint32_t written = 0;
  const int32_t status = SerialWrite(port, frame, length, &written);
  if (status != 0) return status;
  return written == length ? 0 : SerialShortWrite;
}

int32_t ReceiveReply(const ZorRequest& request, char* reply) {
  if (request.context == nullptr) {
    reply[0] = '\0';
    return SerialIoFailed;
  }
  const SerialHandle port = request.context->portHandle;
  int32_t stored = 0;
  int32_t allowance = kStrayBytesAllowed;
  int32_t status = 0;
  for (;;) {
    char byte = 0;
    status = SerialRead(port, &byte, 1, nullptr);
    if (status != 0) break;
    if (stored > 0 || byte == ':') {
      reply[stored++] = byte;
      // With its length field in, the rest of the reply is known: let the
      // serial layer gather it rather than wake for every character. Only a
      // hint; each byte is still read on its own and ends the reception at
      // the first ";".
      if (stored == kLengthFieldEnd) ExpectRest(port, reply);
    } else {
      --allowance;
    }
    if (stored > 0 && reply[stored - 1] == ';') break;
    if (stored == kMaxFrameChars || allowance == 0) break;
  }
  reply[stored] = '\0';
  // Whatever ended the reception, let trailing bytes arrive and drop them.
  SerialSleep(kSettleMs);
  SerialPurgeInput(port);
  if (status != 0) return status;
  return stored > 0 && reply[stored - 1] == ';' ? 0 : ReplyIncomplete;
}

namespace {

int32_t LoggedVerdict(const ZorRequest& request, const ReplyVerdict& verdict) {
  const char* format = ReplyFaultFormat(verdict.fault);
  if (format == nullptr) return verdict.status;
  if (verdict.fault == ReplyPrimitiveError) {
    LogLine(request, format, static_cast<unsigned>(verdict.primitiveError));
  } else {
    LogLine(request, format);
  }
  return verdict.status;
}

}  // namespace

int32_t CheckReply(const ZorRequest& request, const char* reply) {
  return LoggedVerdict(request, JudgeReply(reply, nullptr));
}

int32_t CheckReplyTo(const ZorRequest& request, const char* reply, const char* requestFrame) {
  ReplyExpectation expected{};
  const bool known = ExpectationOf(requestFrame, &expected);
  return LoggedVerdict(request, JudgeReply(reply, known ? &expected : nullptr));
}

int32_t AdapterRequest(const ZorRequest& request, const char* body, char* reply) {
  char frame[kFrameBufferSize] = {};
  const int32_t bodyChars = BoundedLength(body, static_cast<int32_t>(kFrameBufferSize));
  if (bodyChars >= static_cast<int32_t>(kFrameBufferSize)) return 1;
  std::memcpy(frame, body, static_cast<size_t>(bodyChars));
  if (ComposeFrame(nullptr, frame, PlainFrame) != 0) return 1;
  const int32_t status = Transact(request, frame, reply);
  if (status != 0) return status;
  return CheckReply(request, reply);
}
