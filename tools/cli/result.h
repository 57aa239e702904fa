// One record per operation of a run (start-up, a read, a write, one poll of a
// watch): what was asked, what the driver answered, the values, and exactly
// the log lines and frames of that operation. The text and the JSON output
// are two renderings of the same record, so they cannot disagree.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/point_address.h"
#include "tools/cli/values.h"

namespace tiway {

struct Element {
  std::string point;  // the element's own address text
  uint32_t value = 0;
};

// One block transfer's frames as the context keeps them after the call (the
// last attempt's), with the driver's verdict on the reply.
struct FrameRecord {
  std::string step;  // ReadBlock, WriteBlock
  std::string request, requestNote;
  std::string reply, replyNote;
  int32_t replyStatus = 0;  // the status the driver's check gives the reply
  std::string logLine;      // the line the driver logs for it, if any
};

// The meaning of a record without a driver status (refused before any
// driver call, interrupted, a bad command line, statistics).
inline constexpr const char* kNoDriverStatus = "no driver status";

struct OpResult {
  std::string operation;  // start, read, write, poll, define, plan, usage, ...
  std::string point;      // the point as given (first element), empty for start
  int32_t count = 0;      // elements as the user counts them
  PointKind kind = PointKind::VWord;
  bool ok = true;
  int exitCode = 0;
  std::string step;  // the driver command that failed, when !ok
  // The status of the driver call that decided the record (0 when every
  // call succeeded); none when no driver call decided it.
  std::optional<int32_t> status;
  std::string meaning = kNoDriverStatus;  // the status in words
  std::string message;                    // what happened, in a sentence
  std::vector<Element> values;
  std::vector<Element> previous;  // a write: the values read just before it
  std::vector<bool> changed;      // a poll: which values changed (empty: all shown)
  std::vector<std::string> log;
  std::vector<FrameRecord> frames;
  double elapsedMs = 0;
  int retries = 0;  // attempts whose reply the driver refused (logged) and retried
  int64_t poll = 0;
  std::string time;  // wall-clock time of a poll, ISO 8601 with milliseconds
  bool interrupted = false;
};

struct RenderOptions {
  ValueFormat format = ValueFormat::Default;
  bool trace = false;
};

// Every record has the same keys (docs/tiway.md, docs/tiway-record.schema.json);
// info, stats and plot records add their own after them.
nlohmann::ordered_json ToJson(const OpResult& result, const RenderOptions& options);

// A record of a run that failed before or without the driver.
OpResult Failure(const std::string& operation, int exitCode, std::string message);

// The status and its meaning together.
void SetStatus(OpResult& result, int32_t status, std::string meaning);

// Text: values on out (those read before a failure or an interrupt too),
// failures and warnings on err (with "tiway: "), trace on out.
void RenderText(const OpResult& result, const RenderOptions& options, std::ostream& out,
                std::ostream& err);

}  // namespace tiway
