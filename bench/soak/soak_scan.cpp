#include "bench/soak/soak_scan.h"

namespace soak {

namespace {

uint32_t Draw(std::mt19937& rng, uint32_t low, uint32_t high) {
  return std::uniform_int_distribution<uint32_t>(low, high)(rng);
}

bool Chance(std::mt19937& rng, double share) {
  return std::uniform_real_distribution<double>(0, 1)(rng) < share;
}

}  // namespace

Shape ScanPattern::Next(std::mt19937& rng) {
  Shape shape;
  shape.station = layout_.station;
  const auto lastBlock = static_cast<uint32_t>(layout_.blocks - 1);
  const auto words = static_cast<uint32_t>(layout_.words);
  switch (step_) {
    case Step::kRead:
      shape.kind = Kind::kReadWords;
      shape.address = layout_.BlockAddress(nextBlock_);
      shape.count = layout_.words;
      nextBlock_ = (nextBlock_ + 1) % layout_.blocks;
      step_ = Chance(rng, layout_.bitWriteShare)     ? Step::kBitWrite
              : Chance(rng, layout_.blockWriteShare) ? Step::kBlockWrite
                                                     : Step::kRead;
      break;
    case Step::kBitWrite:
      shape.kind = Kind::kWriteBit;
      shape.address =
          layout_.BlockAddress(static_cast<int>(Draw(rng, 0, lastBlock))) + Draw(rng, 0, words - 1);
      shape.bit = static_cast<int>(Draw(rng, 0, 15));
      shape.count = 1;
      step_ = Chance(rng, layout_.againShare)        ? Step::kBitWrite
              : Chance(rng, layout_.blockWriteShare) ? Step::kBlockWrite
                                                     : Step::kRead;
      break;
    case Step::kBlockWrite: {
      shape.kind = Kind::kWriteWords;
      shape.count = static_cast<int32_t>(Draw(rng, 1, words));
      const uint32_t offset = Draw(rng, 0, words - static_cast<uint32_t>(shape.count));
      shape.address = layout_.BlockAddress(static_cast<int>(Draw(rng, 0, lastBlock))) + offset;
      step_ = Chance(rng, layout_.againShare) ? Step::kBlockWrite : Step::kRead;
      break;
    }
  }
  return shape;
}

bool SameReplyShape(const Shape& before, const Shape& after) {
  if (before.station != after.station) return false;
  // The forms of reply a transfer's exchanges get: a write's carries no
  // data (0), a read's its data characters (4 a V word, 2 a discrete).
  const auto forms = [](const Shape& s) -> std::vector<int32_t> {
    if (s.kind == Kind::kWriteBit) return {4, 0};
    if (IsWrite(s.kind)) return {0};
    return {s.count * (s.letter == 'V' || s.letter == 'F' ? 4 : 2)};
  };
  for (const int32_t late : forms(before)) {
    for (const int32_t form : forms(after)) {
      if (late == form) return true;
    }
  }
  return false;
}

int OtherBlockHolding(const ScanLayout& layout, const Memory& memory, const Shape& shape,
                      const std::vector<uint16_t>& words) {
  for (int block = 0; block < layout.blocks; ++block) {
    const uint32_t address = layout.BlockAddress(block);
    if (address == shape.address) continue;
    bool same = words.size() == static_cast<std::size_t>(layout.words);
    for (std::size_t k = 0; same && k < words.size(); ++k) {
      same = memory.Get(layout.station, 'V', address + static_cast<uint32_t>(k)) == words[k];
    }
    if (same) return block;
  }
  return -1;
}

}  // namespace soak
