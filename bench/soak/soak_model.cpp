#include "bench/soak/soak_model.h"

#include <algorithm>
#include <cstdio>

namespace soak {

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kReadWords:
      return "read V words";
    case Kind::kReadBits:
      return "read V bits";
    case Kind::kReadFloats:
      return "read F values";
    case Kind::kReadDiscretes:
      return "read X/Y/C";
    case Kind::kWriteWords:
      return "write V words";
    case Kind::kWriteFloats:
      return "write F values";
    case Kind::kWriteDiscretes:
      return "write Y/C";
    case Kind::kWriteBit:
      return "write V bit";
  }
  return "?";
}

bool IsWrite(Kind kind) {
  return kind >= Kind::kWriteWords;
}

int Exchanges(Kind kind) {
  return kind == Kind::kWriteBit ? 2 : 1;
}

std::string AddressText(const Shape& shape) {
  char text[16];
  if (shape.bit != 255) {
    std::snprintf(text, sizeof text, "%02X%c%04X%X", shape.station, shape.letter, shape.address,
                  shape.bit);
  } else {
    std::snprintf(text, sizeof text, "%02X%c%04X", shape.station, shape.letter, shape.address);
  }
  return text;
}

int32_t HostDataType(const Shape& shape) {
  return shape.bit != 255 || (shape.letter != 'V' && shape.letter != 'F') ? 6 : 0;
}

std::vector<Slot> ReadSlots(const Shape& s) {
  std::vector<Slot> slots;
  const auto n = static_cast<uint32_t>(s.count);
  if (s.letter == 'F') {
    // Value j: high word at address+2j in data[4j+1], low word in data[4j].
    for (uint32_t j = 0; 2 * j < n; ++j) {
      slots.push_back({4 * j, 'V', s.address + 2 * j + 1, 255});
      slots.push_back({4 * j + 1, 'V', s.address + 2 * j, 255});
    }
  } else if (s.letter != 'V') {
    for (uint32_t k = 0; k < n; ++k) slots.push_back({2 * k + 1, s.letter, s.address + k, 255});
  } else if (s.bit != 255) {
    for (uint32_t k = 0; k < n; ++k) slots.push_back({k + 1, 'V', s.address + k, s.bit});
  } else if (n == 1) {
    slots.push_back({1, 'V', s.address, 255});
  } else {
    for (uint32_t k = 0; k < n; ++k) slots.push_back({k, 'V', s.address + k, 255});
  }
  return slots;
}

std::vector<Slot> WriteSlots(const Shape& s) {
  std::vector<Slot> slots;
  const auto n = static_cast<uint32_t>(s.count);
  if (s.letter == 'F') {
    // Value j: low word from data[2j], high word from data[2j+1].
    for (uint32_t j = 0; 2 * j < n; ++j) {
      slots.push_back({2 * j, 'V', s.address + 2 * j + 1, 255});
      slots.push_back({2 * j + 1, 'V', s.address + 2 * j, 255});
    }
  } else if (s.bit != 255) {
    slots.push_back({1, 'V', s.address, s.bit});
  } else {
    for (uint32_t k = 0; k < n; ++k) slots.push_back({k + 1, s.letter, s.address + k, 255});
  }
  return slots;
}

std::size_t ArrayWords(const std::vector<Slot>& slots) {
  std::size_t words = 0;
  for (const Slot& slot : slots) words = std::max(words, slot.index + 1);
  return words;
}

uint16_t Memory::Get(int station, char letter, uint32_t address) const {
  const auto found = cells_.find({station, letter, address & 0xFFFF});
  return found == cells_.end() ? 0 : found->second;
}

void Memory::Set(int station, char letter, uint32_t address, uint16_t value) {
  cells_[{station, letter, address & 0xFFFF}] = value;
}

uint16_t Memory::Expected(int station, const Slot& slot) const {
  const uint16_t value = Get(station, slot.letter, slot.address);
  return slot.bit == 255 ? value : static_cast<uint16_t>((value >> slot.bit) & 1);
}

void Memory::Apply(int station, const std::vector<Slot>& slots, const uint16_t* data) {
  for (const Slot& slot : slots) {
    const uint16_t given = data[slot.index];
    if (slot.bit != 255) {
      const uint16_t mask = static_cast<uint16_t>(1u << slot.bit);
      const uint16_t word = Get(station, 'V', slot.address);
      Set(station, 'V', slot.address,
          static_cast<uint16_t>((given & 1) != 0 ? (word | mask) : (word & ~mask)));
    } else if (slot.letter == 'V') {
      Set(station, 'V', slot.address, given);
    } else {
      Set(station, slot.letter, slot.address, given & 1);  // bit 0 of the byte sent
    }
  }
}

Span WrittenSpan(const Shape& shape) {
  if (shape.letter == 'F') return {'V', shape.address, shape.count};
  if (shape.bit != 255) return {'V', shape.address, 1};
  return {shape.letter, shape.address, shape.count};
}

std::vector<ExchangeChars> LineChars(const Shape& shape) {
  // A frame is its body plus 10 characters (":", length, checksum, ";").
  // Read request body: 01 SS LLLL 20 TT CCCC AAAA; reply: 01 SS LLLL 20 00
  // and the data. Write request: 01 SS LLLL 30 TT AAAA and the data; reply:
  // 01 SS 0002 30 00.
  constexpr int64_t kReadRequest = 30, kReplyEnvelope = 22, kWriteEnvelope = 26;
  if (shape.kind == Kind::kWriteBit) {
    return {{kReadRequest, kReplyEnvelope + 4}, {kWriteEnvelope + 4, kReplyEnvelope}};
  }
  const int64_t width = shape.letter == 'V' || shape.letter == 'F' ? 4 : 2;
  const int64_t data = width * shape.count;
  if (IsWrite(shape.kind)) return {{kWriteEnvelope + data, kReplyEnvelope}};
  return {{kReadRequest, kReplyEnvelope + data}};
}

int64_t CallBoundMs(const Shape& shape, const BoundInputs& in) {
  constexpr int64_t kAttempts = 3;
  // Per attempt beyond the waits: a purge before the send and one after the
  // reply (each at most 8 reads at 50 ms), and the 50 ms pause: 2 x 450 ms.
  constexpr int64_t kPurgesAndPauseMs = 2 * 450;
  constexpr int64_t kLongestReception = 589 + 2;  // a reply and two stray bytes
  const auto lineMs = [&in](int64_t characters) -> int64_t {
    if (in.baud == 0) return 0;
    return (characters * in.bitsPerCharacter * 1000 + in.baud - 1) / in.baud;
  };
  const int64_t lr = lineMs(kLongestReception);
  int64_t bound = in.slackMs;
  for (const ExchangeChars& chars : LineChars(shape)) {
    const int64_t drain = 2 * in.timeoutMs + lr;
    const int64_t attempt = in.timeoutMs + lineMs(chars.request) + lr + kPurgesAndPauseMs;
    bound += drain + kAttempts * attempt;
  }
  return bound;
}

}  // namespace soak
