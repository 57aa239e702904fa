// Fault injection: ways to spoil a reply, each for the next N requests it
// applies to or at random with a probability.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tiway_sim {

enum class FaultKind {
  kSilence,         // no reply at all
  kBadChecksum,     // the checksum field is off by one
  kStray,           // `amount` stray bytes before the reply
  kCut,             // only the first `amount` characters (0: half the frame), then nothing
  kNoEnd,           // the reply without its ";"
  kPrimitiveError,  // the primitive fails with error code `amount`; nothing is executed
  kShortData,       // a read reply one element short (a well-formed frame otherwise)
  kLowerCase,       // the reply's hex digits in lower case
  kDelay,           // the reply `amount` milliseconds late
};

// Which requests a fault is for.
enum class FaultScope { kAny, kAdapter, kPrimitive, kRead, kWrite };

struct Fault {
  FaultKind kind = FaultKind::kSilence;
  uint32_t amount = 0;
  FaultScope scope = FaultScope::kAny;
};

// "silence", "bad-checksum", "stray3" (or "stray=3"; "stray" is 1 byte),
// "cut" (half) or "cut12"/"cut=12", "no-end", "primitive-error=0102",
// "short-data", "lower-case", "delay=1500"; each optionally followed by
// "@adapter", "@primitive", "@read" or "@write" to spare other requests.
// Returns false with a reason.
bool ParseFault(std::string_view text, Fault& fault, std::string& error);
std::string FaultName(const Fault& fault);
// "SS:MODE": a station (two hex digits, 01 to FE) and a fault for every
// request addressed to it, e.g. "05:silence", "0A:delay=1500". `text`
// without the colon is the station alone (a fault's mode is left unread).
bool ParseStationFault(std::string_view text, int& station, Fault& fault, std::string& error);

// What a request is, as far as the faults care.
enum class RequestClass { kAdapter, kWrite, kRead };

// Whether a fault applies to a request of that class: its scope must admit
// the request, a failed primitive applies to primitives only, a short data
// field to reads only.
bool FaultApplies(const Fault& fault, RequestClass request);

// The faults in force: per station ones for every request addressed to the
// station (a station that fell silent, a slow one, among live ones),
// counted ones for the next N requests they apply to,
// periodic ones for every Nth request they apply to (the Nth, the 2Nth ...,
// counted from when the fault was added), and random ones, each drawn with
// its probability for every request it applies to, from a generator seeded
// once so that runs repeat.
class FaultPlan {
 public:
  explicit FaultPlan(uint32_t seed = 1) : random_(seed) {}

  void Add(const Fault& fault, uint32_t requests);
  void AddRate(const Fault& fault, double probability);
  // Every `period`th request the fault applies to; a period of 0 adds nothing.
  void AddEvery(const Fault& fault, uint32_t period);
  // Every request addressed to `station` the fault applies to; a second
  // fault of the same kind replaces the first.
  void AddStation(int station, const Fault& fault);
  void ClearStation(int station);
  // Whether `station` is silenced for such a request (it then carries nothing out).
  bool Silences(int station, RequestClass request) const;
  void Clear();
  void Seed(uint32_t seed) { random_.seed(seed); }

  // The faults to apply to one request (addressed to `station`, -1 for
  // none); counted faults are used up.
  std::vector<Fault> Take(RequestClass request, int station = -1);

  std::string Describe() const;

 private:
  struct Counted {
    Fault fault;
    uint32_t remaining;
  };
  struct Rated {
    Fault fault;
    double probability;
  };
  struct Periodic {
    Fault fault;
    uint32_t period;
    uint32_t seen = 0;  // requests it applied to since the last one it spoiled
  };
  struct ForStation {
    int station;
    Fault fault;
  };
  std::vector<ForStation> stations_;
  std::vector<Counted> counted_;
  std::vector<Periodic> periodic_;
  std::vector<Rated> rated_;
  std::mt19937 random_;
};

// The bytes to put on the line for one reply, and when.
struct ReplyPlan {
  bool silent = false;
  uint32_t delayMs = 0;
  std::string bytes;  // stray bytes, then the (possibly spoiled) frame
};

// Spoils the encoded reply frame with the line-level faults (everything but
// the failed primitive and the short data field, which change the body).
ReplyPlan ApplyLineFaults(std::string frame, const std::vector<Fault>& faults);

// Drops the last element from a successful read reply body; `width` is 4 for
// "V" words and 2 for discretes. Other bodies come back unchanged.
std::string ShortenReadReply(std::string body, std::size_t width);

}  // namespace tiway_sim
