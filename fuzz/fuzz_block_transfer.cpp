// Block reads and writes (commands 5, 6, 7 and 10, single-bit writes
// included) with any BlockRequest and any replies. The host's array is
// allocated with exactly the words that the placement rules name for the
// request's letter, direction and count, so ASan reports any word touched
// outside it. Beyond memory safety:
// - the host's BlockRequest reads the same afterwards;
// - a write, and a read that failed, leave the host's array as it was.
//
// Input: command, station, letter, element address, bit number, bits per
// element, element count (-4 to 300), ready, the array's contents; then one
// line of input per reply on the line ('!' in front: a good envelope around
// the rest of the line).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/point_records.h"
#include "driver/zormain.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int32_t kCommands[] = {ZOR_READ_BLOCK, ZOR_READ_BLOCK_UNCHECKED, ZOR_WRITE_BLOCK,
                                 ZOR_WRITE_BLOCK_UNCHECKED};

bool IsRead(int32_t command) {
  return command == ZOR_READ_BLOCK || command == ZOR_READ_BLOCK_UNCHECKED;
}

int32_t PickLetter(uint8_t byte) {
  static constexpr char kLetters[] = {'V', 'F', 'X', 'Y', 'C', 'V', 'F'};
  return byte < 0xF0 ? kLetters[byte % sizeof kLetters] : byte;  // now and then any byte
}

int32_t PickBitNumber(uint8_t byte) {
  if (byte < 0x80) return kWholeElement;
  if (byte < 0xF0) return byte % 16;
  return static_cast<int8_t>(byte);  // -16 to -1
}

int32_t PickBits(uint8_t byte) {
  switch (byte % 8) {
    case 0:
    case 1:
    case 2:
      return 16;
    case 3:
    case 4:
      return 1;
    case 5:
    case 6:
      return 32;
    default:
      return byte;  // rarely one of the three
  }
}

// The words of the host's array that the placement rules name for n
// elements: what a host that follows them allocates.
size_t ArrayWords(int32_t command, const PointAddress& address, int32_t n) {
  if (n <= 0) return 0;
  const auto count = static_cast<size_t>(n);
  const bool singleBit = address.typeLetter == 'V' && address.bitNumber != kWholeElement;
  if (IsRead(command)) {
    switch (address.typeLetter) {
      case 'V':
        if (singleBit) return count + 1;
        return count == 1 ? 2 : count;
      case 'X':
      case 'Y':
      case 'C':
        return 2 * count;
      case 'F':
        return 4 * (count / 2);
      default:
        return 0;  // no such type: nothing may be touched
    }
  }
  switch (address.typeLetter) {
    case 'V':
    case 'X':
    case 'Y':
    case 'C':
      return count + 1;
    case 'F':
      return count;
    default:
      return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const int32_t command = kCommands[input.Byte() % 4];
  PointAddress address{};
  address.station = input.Byte();
  address.typeLetter = PickLetter(input.Byte());
  address.elementAddress = input.Byte() < 0xF0 ? input.Word() : input.Uint32();
  address.bitNumber = PickBitNumber(input.Byte());
  address.bitsPerElement = PickBits(input.Byte());
  const int32_t count = input.InRange(-4, 300);
  const bool ready = input.Byte() % 8 != 0;
  const uint16_t fill = input.Word();

  const size_t words = ArrayWords(command, address, count);
  std::unique_ptr<uint16_t[]> array(new uint16_t[words]);
  for (size_t i = 0; i < words; ++i) array[i] = static_cast<uint16_t>(fill + i * 0x0101u);
  const std::vector<uint16_t> arrayBefore(array.get(), array.get() + words);

  fuzz::Instance instance;
  instance.context.ready = ready ? 1 : 0;
  while (!input.Empty()) instance.line.Reply(fuzz::ReplyFromLine(input.Line()));

  BlockRequest block;
  std::memset(&block, 0x5C, sizeof block);
  block.address = address;
  block.elementCount = count;
  block.data = array.get();
  BlockRequest before;
  std::memcpy(&before, &block, sizeof block);

  ZorRequest request = instance.Request(command, &block);
  const int32_t status = ZorMain(&request);
  FUZZ_CHECK(status >= 0 && status <= 0xFFFF);
  FUZZ_CHECK(std::memcmp(&before, &block, sizeof block) == 0);
  if (!IsRead(command) || status != 0) {
    FUZZ_CHECK(std::equal(arrayBefore.begin(), arrayBefore.end(), array.get()));
  }
  return 0;
}
