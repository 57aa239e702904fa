// Block read and write.
//
// Each command builds one request in the context's requestFrame, exchanges
// it up to three times and, for a read, decodes the reply's data field into
// the host's array. Where an element lies in the host's array depends on the
// point and the direction: reads and writes place blocks differently, and the
// host relies on exactly these places.
//
// The host's BlockRequest is only ever read: the commands work on copies of
// it, so its fields read the same afterwards on every path.
#include "points/block_transfer.h"

#include <cstring>

#include "base/point_records.h"
#include "nitp/frame.h"
#include "nitp/transact.h"

namespace {

constexpr int kAttempts = 3;
constexpr int32_t kRefused = 1;
constexpr int32_t kExchangeFailed = 2;
constexpr int32_t kDataStart = 17;  // reply position of the first data character

bool IsSingleBitOfWord(const PointAddress& address) {
  return address.typeLetter == 'V' && address.bitNumber != kWholeElement;
}

// What the composition does not see but the decoder and the bit write rely
// on: a bit number that names a bit of a 16-bit word, "F" blocks made of
// whole 32-bit values (elementCount counts words, two per value), and an
// array for the elements. An "F" point of any other width has no placement:
// the host sizes an "F" write's array at n words, while a 16-bit or 1-bit
// layout would take n+1 of them.
bool TransferDefined(const BlockRequest& block) {
  if (block.elementCount > 0 && block.data == nullptr) return false;
  if (IsSingleBitOfWord(block.address) &&
      (block.address.bitNumber < 0 || block.address.bitNumber > 15)) {
    return false;
  }
  if (block.address.typeLetter == 'F' &&
      (block.address.bitsPerElement != 32 || block.elementCount % 2 != 0)) {
    return false;
  }
  return true;
}

// Characters that elementCount elements occupy in a read reply's data field.
int64_t DataChars(const BlockRequest& block) {
  const int64_t count = block.elementCount;
  switch (block.address.typeLetter) {
    case 'X':
    case 'Y':
    case 'C':
      return count * 2;
    default:  // "V" words and bits: four per word; "F": eight per two words
      return count * 4;
  }
}

// A read whose count is negative names no elements, and one whose reply
// would not fit 589 characters cannot be answered: both are refused before
// anything is sent, like writes that cannot be sent.
bool ReadFits(const BlockRequest& block) {
  return block.elementCount >= 0 && kPrimitiveReplyOverhead + DataChars(block) <= kMaxFrameChars;
}

// Sends the frame in the requestFrame, up to three times, until an attempt
// gives 0. A failed exchange counts as 2 whatever the transport said. A
// reply counts only when it answers this request: its station, its
// primitive, and for a read exactly the data its count asks for. A late
// reply to an earlier request is a failed attempt like a malformed one. The
// last attempt's status.
int32_t Exchange(const ZorRequest& request) {
  PortContext* context = request.context;
  int32_t status = 0;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Transact(request, context->requestFrame, context->replyBuffer) != 0) {
      status = kExchangeFailed;
    } else {
      status = CheckReplyTo(request, context->replyBuffer, context->requestFrame);
    }
    if (status == 0) break;
  }
  return status;
}

uint16_t Word(const char* text) {
  return static_cast<uint16_t>(DecodeHex(text, 4));
}

// Stores the elements of a checked reply where the read placement says.
void Decode(const BlockRequest& block, const char* reply) {
  const int32_t n = block.elementCount;
  uint16_t* data = block.data;
  const char* field = reply + kDataStart;
  switch (block.address.typeLetter) {
    case 'X':
    case 'Y':
    case 'C':
      for (int32_t k = 0; k < n; ++k, field += 2) {
        data[2 * k + 1] = static_cast<uint16_t>(DecodeHex(field, 2) & 1);
      }
      return;
    case 'F':
      // High word first on the line; four array words per value.
      for (int32_t j = 0; 2 * j < n; ++j, field += 8) {
        data[4 * j + 1] = Word(field);
        data[4 * j] = Word(field + 4);
      }
      return;
    default:  // 'V'
      if (block.address.bitNumber != kWholeElement) {
        const int32_t bit = block.address.bitNumber;
        for (int32_t k = 0; k < n; ++k, field += 4) {
          data[k + 1] = static_cast<uint16_t>((Word(field) >> bit) & 1);
        }
      } else if (n == 1) {
        data[1] = Word(field);
      } else {
        for (int32_t k = 0; k < n; ++k, field += 4) data[k] = Word(field);
      }
      return;
  }
}

// The read of a block described by block (a copy the command owns).
int32_t ReadTransfer(const ZorRequest& request, const BlockRequest& block) {
  if (!TransferDefined(block) || !ReadFits(block)) return kRefused;
  PortContext* context = request.context;
  if (ComposeFrame(&block, context->requestFrame, ReadFrame) != 0) return kRefused;
  const int32_t status = Exchange(request);
  if (status != 0) return status;
  Decode(block, context->replyBuffer);
  return 0;
}

}  // namespace

int32_t ReadBlock(ZorRequest* request) {
  if (request->context->ready == 0) return kRefused;
  return ReadBlockUnchecked(request);
}

int32_t ReadBlockUnchecked(ZorRequest* request) {
  const BlockRequest block = *static_cast<const BlockRequest*>(request->params);
  return ReadTransfer(*request, block);
}

int32_t WriteBlock(ZorRequest* request) {
  if (request->context->ready == 0) return kRefused;
  return WriteBlockUnchecked(request);
}

int32_t WriteBlockUnchecked(ZorRequest* request) {
  PortContext* context = request->context;
  const BlockRequest& host = *static_cast<const BlockRequest*>(request->params);
  BlockRequest block = host;
  if (!TransferDefined(block)) return kRefused;

  // The bit-write scratch: the word read from the controller travels in its
  // second word, where the single-element placement puts it.
  uint16_t scratch[2] = {0, 0};
  const bool singleBit = IsSingleBitOfWord(block.address);
  if (singleBit) {
    // One bit of one word; any other count would read past the scratch.
    if (block.elementCount != 1) return kRefused;
    block.data = scratch;
  }

  // The read step of a single-bit write is a ReadBlock: it needs ready even
  // under the unchecked write, and an inactive instance is refused before
  // anything is composed.
  if (singleBit && context->ready == 0) return kRefused;

  // Refuse a request that cannot be sent (no such type, an impossible
  // element width, a frame beyond 589 characters) before anything goes out,
  // also before the read of a single-bit write.
  if (ComposeFrame(&block, context->requestFrame, WriteFrame) != 0) return kRefused;

  if (singleBit) {
    const bool set = (host.data[1] & 1) != 0;
    const uint16_t mask = static_cast<uint16_t>(1u << block.address.bitNumber);
    BlockRequest wordRead = block;
    wordRead.address.bitNumber = kWholeElement;
    wordRead.data = scratch;
    const int32_t status = ReadTransfer(*request, wordRead);
    if (status != 0) return status;
    scratch[1] =
        set ? static_cast<uint16_t>(scratch[1] | mask) : static_cast<uint16_t>(scratch[1] & ~mask);
    if (ComposeFrame(&block, context->requestFrame, WriteFrame) != 0) return kRefused;
  }

  return Exchange(*request);
}
