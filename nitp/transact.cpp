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
constexpr int32_t kMessageCodeFailed = 0;
constexpr int32_t kMessageCodePrimitive = 1;
constexpr int32_t kPrimitiveCodeAt = 13;
constexpr int32_t kPrimitiveErrorAt = 16;

// Length of a text held in a frame buffer, never looking past the buffer.
inline int32_t TextLength(const char* text) {
  return BoundedLength(text, static_cast<int32_t>(kFrameBufferSize));
}

inline int32_t HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The value of the hexadecimal number at position `at` of a reply of
// textChars characters: at most maxDigits digits of either case, stopping at
// the first character that is not one. No digit gives 0, and so does a
// position at or past the end of the text (what lies beyond the NUL is left
// over from earlier replies and is never looked at). Unlike a "%X" scan, a
// leading blank, sign or "0x" is not accepted: the fields sit at fixed
// places of the frame, and a blank there is no digit.
int32_t ScanHexField(const char* reply, int32_t textChars, int32_t at, int32_t maxDigits) {
  int32_t value = 0;
  for (int32_t i = at; i < textChars && i < at + maxDigits; ++i) {
    const int32_t digit = HexDigit(reply[i]);
    if (digit < 0) break;
    value = value * 16 + digit;
  }
  return value;
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

int32_t CheckReply(const ZorRequest& request, const char* reply) {
  const int32_t textChars = TextLength(reply);
  if (textChars < 1 || reply[0] != ':') {
    LogLine(request, "ZOR%02d: TW: CheckReply() - not a valid reply string ':'");
    return ReplyInvalid;
  }
  // A reply too short to hold its length field cannot hold a ";" where a
  // length of 10 or more puts it, so it is refused without reading further.
  const int32_t length = textChars >= 5 ? (DecodeHex(reply + 1, 4) & 0xFFFF) : 0;
  if (length < 10 || length > textChars || reply[length - 1] != ';') {
    LogLine(request, "ZOR%02d: TW: CheckReply() - not a valid reply string ';'");
    return ReplyInvalid;
  }
  const int32_t messageCode = DecodeHex(reply + 5, 2) & 0xFFFF;
  const int32_t received = DecodeHex(reply + length - 5, 4) & 0xFFFF;
  const int32_t computed = FrameChecksum(reply + 1, length - 6) & 0xFFFF;
  if (received != computed) {
    LogLine(request, "ZOR%02d: TW: CheckReply() bcc error");
    return ReplyInvalid;
  }
  if (messageCode == kMessageCodeFailed) return 2;
  if (messageCode != kMessageCodePrimitive) return 0;
  if (ScanHexField(reply, textChars, kPrimitiveCodeAt, 2) != 0) return 0;
  // A failed primitive. Its error code is reported as the reply gives it;
  // a code of 0 (or none at all, in a reply too short to carry one) still
  // is a failure and gives 2, so that the caller never takes the error
  // reply for data.
  const int32_t error = ScanHexField(reply, textChars, kPrimitiveErrorAt, 4);
  LogLine(request, "ZOR%02d: TW: CheckReply() - primitive error: %04X",
          static_cast<unsigned>(error));
  return error != 0 ? error : 2;
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
