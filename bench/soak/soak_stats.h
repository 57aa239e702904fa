// What a soaker counts, per kind of transfer and overall; merged across
// soakers and printed as a table and as JSON.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "bench/soak/soak_model.h"

namespace soak {

struct KindStats {
  long transactions = 0;
  std::map<int32_t, long> statuses;  // status -> calls
  long wrongData = 0;                // a read gave 0 with words the memory does not hold
  long failedReadTouched = 0;        // a failed read changed the host's array
  long okWriteNotInMemory = 0;       // a write gave 0 and memory does not hold what it sent
  long failedWriteApplied = 0;       // a failed write reached memory (its reply was lost)
  long failedWriteCorrupt = 0;       // a failed write left memory neither old nor new
  long wrongWordStored = 0;          // a single-bit write changed other bits of its word
  long guardViolations = 0;          // canaries, unnamed array words, records, context
  long overlongCalls = 0;            // longer than CallBoundMs allows
  double totalMs = 0;
  double maxMs = 0;
};

struct Totals {
  KindStats kinds[kKinds];
  long crashes = 0;  // soakers that ended by a signal or a non-zero exit
  long soakers = 0;
  long incomplete = 0;              // soakers that hit the time limit before their quota
  long lateEpisodes = 0;            // scripted late replies due in the next request
  long lateFollowersRetried = 0;    // the next request needed more than one send
  long lateFollowersFailed = 0;     // ... or failed
  long backToBackSameShape = 0;     // consecutive requests a late reply could not tell apart
  long wrongFromOtherBlock = 0;     // scan: wrong reads that hold another block's words
  long defectsAfterTrouble = 0;     // scan: defects right after a failed or retried transfer
  long hostMistakes = 0;            // null request, context or block; bad read counts
  long hostMistakesNotRefused = 0;  // ... not answered with 1, or something changed or sent
  long logLines = 0;
  long faultedReplies = 0;  // the simulators' "faulted" counters
  long frames = 0;
  double seconds = 0;  // longest soaker's wall time
};

nlohmann::json ToJson(const Totals& totals);
Totals FromJson(const nlohmann::json& json);
void Merge(Totals& into, const Totals& from);
// Findings that fail a run: wrong data, guards, over-long calls, crashes,
// and writes that reported success without reaching memory or left it
// corrupt.
long Defects(const Totals& totals);
std::string Table(const Totals& totals);

}  // namespace soak
