#include "tools/cli/reply_trace.h"

#include <cstdio>
#include <string>

#include "host/status.h"
#include "nitp/frame.h"
#include "nitp/reply_verdict.h"

namespace tiway {

namespace {

using zortw_host::Hex4;

// A field that the judgement has shown to be upper-case hex.
int32_t Field(const std::string& text, int32_t at, uint16_t digits) {
  return DecodeHex(text.c_str() + at, digits) & 0xFFFF;
}

std::string Split(std::string_view data, size_t width) {
  std::string out;
  for (size_t i = 0; i < data.size(); i += width) {
    if (!out.empty()) out += ' ';
    out += data.substr(i, width);
  }
  return out;
}

std::string LogLine(ReplyFault fault, int32_t instance, int32_t primitiveError) {
  const char* format = ReplyFaultFormat(fault);
  if (format == nullptr) return "";
  char line[160];
  if (fault == ReplyPrimitiveError) {
    std::snprintf(line, sizeof line, format, instance, static_cast<unsigned>(primitiveError));
  } else {
    std::snprintf(line, sizeof line, format, instance);
  }
  return line;
}

}  // namespace

ReplyTrace TraceReply(std::string_view request, std::string_view replyView, int32_t instance,
                      bool silentLine) {
  ReplyTrace trace;
  const std::string reply(replyView);
  const std::string requestText(request);
  if (reply.empty() || reply.back() != ';') {
    // Reception ended without a complete reply: the driver counts the attempt
    // as failed (2) without checking anything and logs nothing.
    trace.status = ZOR_LINE_FAILURE;
    if (!reply.empty()) {
      trace.note = "incomplete reply: " + std::to_string(reply.size()) +
                   " characters from ':' and no ';' (the rest never came)";
    } else if (silentLine) {
      trace.note = "no reply: no byte arrived within the reply time-out";
    } else {
      trace.note =
          "no reply kept: reception ended before any ':' (three stray bytes end it; the "
          "driver skips two) or the port's read failed";
    }
    return trace;
  }
  trace.received = true;
  ReplyExpectation expected{};
  const bool known = ExpectationOf(requestText.c_str(), &expected);
  const ReplyVerdict verdict = JudgeReply(reply.c_str(), known ? &expected : nullptr);
  trace.status = verdict.status;
  trace.logLine = LogLine(verdict.fault, instance, verdict.primitiveError);
  switch (verdict.fault) {
    case ReplyAccepted:
      break;
    case ReplyNoColon:
      trace.note = "refused: no ':' at the start";
      return trace;
    case ReplyNoEnd: {
      const bool hexLength = reply.size() >= 5 && AllUpperHex(reply.data() + 1, 4);
      trace.note = hexLength ? "refused: the length field does not lead to the ';'"
                             : "refused: the length field is not four upper-case hex digits";
      return trace;
    }
    case ReplyNotHex:
      trace.note = "refused: a character between ':' and ';' is not an upper-case hex digit";
      return trace;
    case ReplyBadChecksum: {
      const int32_t length = verdict.length;
      const int32_t computed = FrameChecksum(reply.c_str() + 1, length - 6) & 0xFFFF;
      trace.note = "refused: checksum " + reply.substr(static_cast<size_t>(length) - 5, 4) +
                   " does not match (computed " + Hex4(computed) + ")";
      return trace;
    }
    case ReplyMessageFailed: {
      const int32_t length = verdict.length;
      const bool hasCode = length >= 16;
      trace.note = "message code 00: the adapter refused the request" +
                   (hasCode ? ", " + AdapterRefusalMeaning(Field(reply, 7, 4)) : std::string());
      return trace;
    }
    case ReplyPrimitiveError:
      trace.note = "the controller refused the primitive: " +
                   (verdict.primitiveError != 0 ? PrimitiveErrorMeaning(verdict.primitiveError)
                                                : std::string("no error code given"));
      return trace;
    case ReplyForeign: {
      std::string what = "refused: a sound reply, but not to this request";
      if (known && verdict.messageCode == 1 && verdict.length >= 22) {
        const int32_t station = Field(reply, 7, 2);
        const int32_t primitive = Field(reply, 13, 2);
        const int32_t dataChars = verdict.length - 22;
        if (station != expected.station) {
          what += " (station " + Hex4(station).substr(2) + ", asked " +
                  Hex4(expected.station).substr(2) + ")";
        } else if (primitive != expected.primitiveCode) {
          what += " (primitive " + Hex4(primitive).substr(2) + ", asked " +
                  Hex4(expected.primitiveCode).substr(2) + ")";
        } else {
          what += " (data field of " + std::to_string(dataChars) + " characters, the count asks " +
                  std::to_string(expected.dataChars) + ": " +
                  (dataChars < expected.dataChars ? "elements missing" : "elements too many") + ")";
        }
      }
      trace.note = what;
      return trace;
    }
  }
  // Accepted: its fields.
  const int32_t length = verdict.length;
  if (verdict.messageCode != 1 || length < 22) {
    trace.note = "accepted, message code " + Hex4(verdict.messageCode).substr(2);
    return trace;
  }
  std::string note = "accepted: station " + reply.substr(7, 2) + ", primitive " +
                     reply.substr(13, 2) + ", controller status " + reply.substr(15, 2);
  const std::string data = reply.substr(17, static_cast<size_t>(length) - 22);
  if (!data.empty()) {
    const bool words = requestText.size() >= 17 && requestText.compare(15, 2, "01") == 0;
    note += ", data " + Split(data, words ? 4 : 2);
  }
  trace.note = note;
  return trace;
}

}  // namespace tiway
