// The scan list a plant's host polls: one station, blocks of the same size
// read in turn (62 words at V0100, V0200, V0300 ...), single-bit writes
// between them and now and then a block write to the same station. Two
// transactions in a row have the same station and, for the reads, the same
// reply shape: a late reply to one block is indistinguishable by its form
// from the answer to the next, so only the driver's handling of the line can
// keep it from becoming the next block's value.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "bench/soak/soak_model.h"

namespace soak {

struct ScanLayout {
  int station = 5;
  int blocks = 8;
  int32_t words = 62;             // per block: one reply of 270 characters
  uint32_t firstAddress = 0x100;  // block k starts at firstAddress + k * stride
  uint32_t stride = 0x100;
  double bitWriteShare = 0.5;      // a single-bit write after this share of the reads
  double blockWriteShare = 0.125;  // a block write (1 to `words` words) after this share
  double againShare = 0.25;        // a write followed by another of its kind

  uint32_t BlockAddress(int block) const {
    return firstAddress + static_cast<uint32_t>(block) * stride;
  }
};

// The traffic of the scan, one transfer at a time: block 0, 1, ... in turn,
// each read maybe followed by single-bit writes to words of some blocks and
// maybe by block writes inside some blocks; a write is followed by another
// of its kind now and then (a run of commands), so that writes of the same
// form meet too.
class ScanPattern {
 public:
  explicit ScanPattern(const ScanLayout& layout) : layout_(layout) {}

  Shape Next(std::mt19937& rng);

 private:
  enum class Step { kRead, kBitWrite, kBlockWrite };
  ScanLayout layout_;
  int nextBlock_ = 0;
  Step step_ = Step::kRead;
};

// Whether two transfers in a row have replies of the same form: the same
// station and primitive, and for reads the same data length. A single-bit
// write reads one word and writes one word.
bool SameReplyShape(const Shape& before, const Shape& after);

// The block whose memory (as the model holds it) equals `words` read from
// `shape`, other than the block `shape` reads; -1 if none does. Tells a
// late reply of another block from any other wrong value.
int OtherBlockHolding(const ScanLayout& layout, const Memory& memory, const Shape& shape,
                      const std::vector<uint16_t>& words);

}  // namespace soak
