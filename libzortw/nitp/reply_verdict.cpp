// The reply check without logging. Replies are upper-case hex text between
// ":" and ";": a character that is not a digit of that alphabet is refused
// before anything is decoded, so that no lower-case or stray character ever
// decodes to a wrong value that the checksum cannot see.
#include "nitp/reply_verdict.h"

#include "zortw/log_formats.h"
#include "base/records.h"
#include "nitp/frame.h"

namespace {

constexpr int32_t kMinLength = 10;
constexpr int32_t kMessageCodeFailed = 0;
constexpr int32_t kMessageCodePrimitive = 1;
constexpr int32_t kStationAt = 7;
constexpr int32_t kPrimitiveCodeAt = 13;
constexpr int32_t kPrimitiveErrorAt = 16;
constexpr int32_t kReadCode = 0x20;
constexpr int32_t kWriteCode = 0x30;

// The characters from position from up to (not including) to.
bool UpperHexBetween(const char* text, int32_t from, int32_t to) {
  return AllUpperHex(text + from, to - from);
}

// Digits at a position that the checks above have shown to be upper-case hex.
inline int32_t Field(const char* text, int32_t at, uint16_t digits) {
  return DecodeHex(text + at, digits) & 0xFFFF;
}

ReplyVerdict Refused(ReplyFault fault, int32_t length, int32_t messageCode) {
  return ReplyVerdict{ReplyInvalid, fault, length, messageCode, 0};
}

}  // namespace

bool AllUpperHex(const char* text, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

ReplyVerdict JudgeReply(const char* reply, const ReplyExpectation* expected) {
  const int32_t textChars = BoundedLength(reply, kMaxFrameChars);
  if (textChars < 1 || reply[0] != ':') return Refused(ReplyNoColon, 0, -1);
  if (textChars < 5 || !UpperHexBetween(reply, 1, 5)) return Refused(ReplyNoEnd, 0, -1);
  const int32_t length = Field(reply, 1, 4);
  if (length < kMinLength || length > textChars || reply[length - 1] != ';') {
    return Refused(ReplyNoEnd, length, -1);
  }
  if (!UpperHexBetween(reply, 5, length - 1)) return Refused(ReplyNotHex, length, -1);

  const int32_t messageCode = Field(reply, 5, 2);
  const int32_t received = Field(reply, length - 5, 4);
  const int32_t computed = FrameChecksum(reply + 1, length - 6) & 0xFFFF;
  if (received != computed) return Refused(ReplyBadChecksum, length, messageCode);
  if (messageCode == kMessageCodeFailed) {
    return ReplyVerdict{2, ReplyMessageFailed, length, messageCode, 0};
  }

  // The fields of a primitive reply lie before its checksum; one too short
  // to hold its primitive code is a failed primitive without an error code.
  const int32_t bodyEnd = length - 5;
  if (messageCode == kMessageCodePrimitive &&
      (kPrimitiveCodeAt + 2 > bodyEnd || Field(reply, kPrimitiveCodeAt, 2) == 0)) {
    // A failed primitive: its error code as the reply gives it; a code of 0
    // (or none, in a reply too short to carry one) is a failure all the same
    // and gives 2, so that an error reply is never taken for data.
    const int32_t error = kPrimitiveErrorAt + 4 <= bodyEnd ? Field(reply, kPrimitiveErrorAt, 4) : 0;
    return ReplyVerdict{error != 0 ? error : 2, ReplyPrimitiveError, length, messageCode, error};
  }

  if (expected != nullptr && expected->messageCode != kMessageCodePrimitive) {
    // A reply with a body carries its message code at positions 5 and 6; a
    // bare envelope (length 10 or 11) has none to compare.
    const bool hasBody = length >= kMinLength + 2;
    if (hasBody && messageCode != expected->messageCode) {
      return Refused(ReplyForeign, length, messageCode);
    }
  } else if (expected != nullptr) {
    const bool answers =
        messageCode == kMessageCodePrimitive && length >= kPrimitiveReplyOverhead &&
        Field(reply, kStationAt, 2) == expected->station &&
        Field(reply, kPrimitiveCodeAt, 2) == expected->primitiveCode &&
        (expected->dataChars < 0 || length - kPrimitiveReplyOverhead == expected->dataChars);
    if (!answers) return Refused(ReplyForeign, length, messageCode);
  }
  return ReplyVerdict{0, ReplyAccepted, length, messageCode, 0};
}

bool ExpectationOf(const char* requestFrame, ReplyExpectation* expected) {
  // ":" length "01" station primitive-length code type [count] address ...
  const int32_t chars = BoundedLength(requestFrame, kMaxFrameChars);
  if (chars < 7 || requestFrame[0] != ':' || !UpperHexBetween(requestFrame, 1, 7)) return false;
  const int32_t messageCode = Field(requestFrame, 5, 2);
  if (messageCode != kMessageCodePrimitive) {
    // A request of the adapter's own ("12", "FF", "04SS", "06", ...).
    *expected = ReplyExpectation{messageCode, -1, -1, -1};
    return true;
  }
  if (chars < 21 || !UpperHexBetween(requestFrame, 1, 21)) return false;
  const int32_t code = Field(requestFrame, 13, 2);
  if (code != kReadCode && code != kWriteCode) return false;
  expected->messageCode = kMessageCodePrimitive;
  expected->station = Field(requestFrame, 7, 2);
  expected->primitiveCode = code;
  expected->dataChars = -1;
  if (code == kReadCode) {
    // "V" words (and "F" values, as words) take four characters each in the
    // reply, discretes two.
    const int32_t charsPerElement = Field(requestFrame, 15, 2) == 0x01 ? 4 : 2;
    expected->dataChars = Field(requestFrame, 17, 4) * charsPerElement;
  }
  return true;
}

const char* ReplyFaultFormat(ReplyFault fault) {
  switch (fault) {
    case ReplyNoColon:
      return log_format::kReplyNoColon;
    case ReplyNoEnd:
      return log_format::kReplyNoEnd;
    case ReplyNotHex:
      return log_format::kReplyNotHex;
    case ReplyBadChecksum:
      return log_format::kReplyBadChecksum;
    case ReplyPrimitiveError:
      return log_format::kReplyPrimitiveError;
    case ReplyForeign:
      return log_format::kReplyForeign;
    default:
      return nullptr;
  }
}
