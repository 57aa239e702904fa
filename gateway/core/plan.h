// The poll plan: per serial line, the configured ranges merged into the
// fewest block reads the driver allows, bridging a gap when reading it costs
// less line time than a second request. Also where each Modbus element's
// value lives in the cache (block and offset).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gateway/config/config.h"

namespace gateway {

// What a block read costs on the line.
struct LineCost {
  double charMs = 0;      // one character at the line's speed
  double pauseMs = 50;    // the driver's pause after each reply
  int requestChars = 52;  // request and reply frames without data
  static LineCost Of(const ZorLineSettings& line);
  double ReadMs(char memory, uint32_t elements) const;
};

int CharsPerElement(char memory);        // 4 for V words, 2 for discretes
uint32_t MaxBlockElements(char memory);  // 62 words or 124 discretes

// A range of elements one table (or part of it) needs read.
struct Need {
  int station = 0;
  char memory = 'V';  // V, X, Y or C
  uint32_t first = 0, last = 0;
  uint32_t pollMs = 0;
  bool fPairs = false;  // F values: never split the two words of a value
};

// One block read of the plan.
struct Block {
  int station = 0;
  char memory = 'V';
  uint32_t first = 0;
  uint32_t count = 0;
  uint32_t pollMs = 0;
  uint32_t Last() const { return first + count - 1; }
};

// Merges needs into block reads. With coalesce false, every need is read on
// its own (split at the block limit): the plan to compare against.
std::vector<Block> PlanBlocks(const std::vector<Need>& needs, const LineCost& cost, bool coalesce);

// Where element k of a table (counted from its first element) is cached.
struct Ref {
  uint32_t block = 0;
  uint32_t offset = 0;
};

struct LinePlan {
  std::vector<Block> blocks;
  double floorMs = 0;  // line time of one pass over every block
  size_t uncoalescedReads = 0;
  double uncoalescedMs = 0;  // the same ranges, one read per range
  double loadMsPerS = 0;     // line time per second at the configured periods
  bool continuous = false;   // some reads have poll_ms 0: the line is always busy
};

struct Plan {
  std::vector<LinePlan> lines;
  // refs[unit][table][k]: the cache place of the table's k-th element.
  std::vector<std::vector<std::vector<Ref>>> refs;
  // tagRefs[unit][tag][w]: the cache place of the tag's w-th word (or discrete).
  std::vector<std::vector<std::vector<Ref>>> tagRefs;
};

Plan MakePlan(const Config& config, bool coalesce = true);

// The plan as text: per line the reads, the Modbus ranges each serves, and
// the line time per cycle.
std::string DescribePlan(const Config& config, const Plan& plan);

}  // namespace gateway
