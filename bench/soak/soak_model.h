// The soak's knowledge of the traffic it sends: the kinds of transfer, the
// shape of each request, where its elements sit in the host's array (the
// placement rules of docs/driver.md, section 5), the controller memory the
// soak expects, and how long a call may take.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace soak {

enum class Kind : int {
  kReadWords,
  kReadBits,
  kReadFloats,
  kReadDiscretes,
  kWriteWords,
  kWriteFloats,
  kWriteDiscretes,
  kWriteBit,
};
inline constexpr int kKinds = 8;

const char* KindName(Kind kind);
bool IsWrite(Kind kind);
// Line exchanges one successful call makes: a single-bit write reads first.
int Exchanges(Kind kind);

// One transfer as the host asks for it.
struct Shape {
  Kind kind = Kind::kReadWords;
  int station = 1;
  char letter = 'V';         // V, F, X, Y, C
  uint32_t address = 0x100;  // element address
  int bit = 255;             // 0-15 for a single bit of a V word
  int32_t count = 1;         // ZorBlockRequest.elementCount (F: 16-bit words)
};

// "05V0100", "05V0100A" for a bit.
std::string AddressText(const Shape& shape);
// The host data type the definition uses: 6 for bits and discretes.
int32_t HostDataType(const Shape& shape);

// One word of the host's array that a transfer names, and the memory
// element behind it: a V word (letter 'V', bit 255), one bit of a V word, or
// a discrete (value 0 or 1).
struct Slot {
  std::size_t index;
  char letter;
  uint32_t address;
  int bit;
};

std::vector<Slot> ReadSlots(const Shape& shape);
std::vector<Slot> WriteSlots(const Shape& shape);
// Words the host's array needs for the transfer.
std::size_t ArrayWords(const std::vector<Slot>& slots);

// The controller memory of one simulator: V words and X, Y, C discretes by
// station; anything never stored reads 0, as in the simulator.
class Memory {
 public:
  uint16_t Get(int station, char letter, uint32_t address) const;
  void Set(int station, char letter, uint32_t address, uint16_t value);
  // What the host should find in a slot after a successful read.
  uint16_t Expected(int station, const Slot& slot) const;
  // Memory after a write of `data` through `slots` succeeds.
  void Apply(int station, const std::vector<Slot>& slots, const uint16_t* data);

 private:
  std::map<std::tuple<int, char, uint32_t>, uint16_t> cells_;
};

// The memory elements a write changes (whole words for bits and F values),
// as the simulator's "dump" lists them: letter, first address, count.
struct Span {
  char letter;
  uint32_t address;
  int count;
};
Span WrittenSpan(const Shape& shape);

// Characters on the line for one attempt of each of a transfer's line
// exchanges: the request frame and its reply (a single-bit write reads its
// word, then writes it).
struct ExchangeChars {
  int64_t request;
  int64_t reply;
};
std::vector<ExchangeChars> LineChars(const Shape& shape);

// What a call's bound depends on: the reply time-out and the port's rate
// (the driver counts line times at it whether or not the simulator paces).
struct BoundInputs {
  int64_t timeoutMs = 200;  // the reply time-out
  uint32_t baud = 19200;
  uint32_t bitsPerCharacter = 10;
  int64_t slackMs = 0;  // for scheduling on a loaded machine
};

// The longest a call may take, as docs/reliability.md ("How long a call can
// take") states it for T the reply time-out, Lq the request's line time and
// Lr the line time of the longest reception (589 characters and two stray
// bytes): per line exchange one drain window, 2T + Lr, and three attempts
// of T + Lq + Lr + 2 x 450 ms (purges and the pause); plus the slack. The
// one place the soak's bound is computed.
int64_t CallBoundMs(const Shape& shape, const BoundInputs& in);

}  // namespace soak
