// What tiway's trace says about a reply: the driver's own judgement of it
// (JudgeReply against the expectation its request frame gives), worded with
// the driver's log line, and the reply's fields as far as the judgement lets
// them be read. It never judges a reply differently from the driver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/status.h"

namespace tiway {

struct ReplyTrace {
  // The status the driver's reply check gives this reply: 0, a primitive
  // error code, 2 (message code 00 or a failed primitive without a code),
  // 65535 (ReplyInvalid); 2 as well when no complete reply was received,
  // which the driver does not check at all.
  int32_t status = 0;
  bool received = false;  // a complete reply (from ':' to ';') was kept
  std::string logLine;    // the line the driver logs for it; empty when it logs none
  std::string note;       // the verdict and the fields, in words
};

// Judges reply (as the driver keeps it: from ':' on, stray bytes dropped) as
// the answer to request. instance is the host's instance number (log lines
// carry it). silentLine tells a missing reply apart: true when the attempts
// lasted their whole reply time-out (no byte arrived), false when reception
// ended sooner (three stray bytes before ':', or a failed read).
ReplyTrace TraceReply(std::string_view request, std::string_view reply, int32_t instance,
                      bool silentLine);

// The meanings of primitive error and adapter refusal codes: the host
// library's.
using zortw_host::AdapterRefusalMeaning;
using zortw_host::PrimitiveErrorMeaning;

}  // namespace tiway
