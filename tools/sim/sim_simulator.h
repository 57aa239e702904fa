// The simulator's protocol core: one received frame in, the bytes to answer
// with out, plus a decoded note of both for the trace. No I/O here.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim_faults.h"
#include "sim_model.h"
#include "sim_text.h"

namespace tiway_sim {

struct Exchange {
  std::string request;      // the frame as received
  std::string requestNote;  // what it asks, decoded
  std::string reply;        // the reply frame as the model built it (before line faults)
  std::string replyNote;    // what it answers, decoded
  std::vector<Fault> faults;
  ReplyPlan plan;  // what goes on the line
};

struct Counters {
  uint64_t frames = 0;   // every frame received, good or bad
  uint64_t bad = 0;      // frames refused for their envelope
  uint64_t adapter = 0;  // requests to the adapter itself
  uint64_t reads = 0;    // read primitives
  uint64_t writes = 0;   // write primitives (and other primitives)
  uint64_t failed = 0;   // primitives answered with an error code
  uint64_t faulted = 0;  // replies spoiled by a fault
  uint64_t skipped = 0;  // bytes outside frames (set by the line)
  // The longest time, in milliseconds, between two looks at the line while
  // somebody had it open (set by the line): the longest a request can have
  // waited unread or a due reply unsent. A few ms on a machine with room;
  // more when the simulator was kept off the CPU.
  uint64_t lagMs = 0;
};

class Simulator {
 public:
  explicit Simulator(std::set<int> stations = {1, 2, 3, 4, 5}, uint32_t seed = 1);
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  Network& Net() { return network_; }
  Adapter& Adapt() { return adapter_; }
  FaultPlan& Faults() { return faults_; }
  Counters& Count() { return counters_; }

  Exchange Handle(const Incoming& incoming);

  // One line of the control protocol; answers one line, "ok ..." or "error ...".
  std::string Control(std::string_view line);

 private:
  Network network_;
  Adapter adapter_;
  FaultPlan faults_;
  Counters counters_;
};

// Decoded, human-readable notes for the trace.
std::string DescribeRequest(std::string_view body);
std::string DescribeReply(std::string_view body, std::string_view requestBody);

}  // namespace tiway_sim
