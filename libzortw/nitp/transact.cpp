// One request, one reply: the frame goes out whole, the reply comes back one
// byte per read, and CheckReply validates it.
//
// Replies that may still be on their way. A request whose reply did not come
// in whole (silence, a cut reply) may still be answered later, and so may the
// first attempt of a transaction that ended well on a retry. Such a reply has
// the shape of the next request's reply when the host reads same-size blocks
// of one station in turn, so it must never meet a different request. The
// port keeps a note (OwedNote, in the bytes the serial layer holds for its
// user): how many replies the line still owes, and a tag of the request
// they answer. Every request sent adds one, every reply
// received whole takes one, and a whole reply that answers another request
// gives it back. Before a request other than the one owed goes out, the
// line is drained: bytes are read and dropped until the owed replies have
// ended (their ";"), or until twice the reply time-out and the line time of
// the owed reply at its longest have passed since the owed request left the
// line (the drain window). A reply that ends later than that can still meet
// the next request: the window is the driver's stated limit. A retry of the
// same request needs no drain: a late reply answers the same question. On a
// healthy line nothing is owed and nothing is drained.
#include "nitp/transact.h"

#include <cstring>
#include <type_traits>

#include "base/log.h"
#include "nitp/frame.h"
#include "serial/serial.h"

namespace {

constexpr int32_t kStrayBytesAllowed = 3;  // the third stray byte ends reception
constexpr uint32_t kSettleMs = 50;         // pause after every reply before the purge

// Length of a text held in a frame buffer, never looking past the buffer.
inline int32_t TextLength(const char* text) {
  return BoundedLength(text, static_cast<int32_t>(kFrameBufferSize));
}

constexpr int32_t kLengthFieldEnd = 5;  // ":" and four digits

// The longest reception: stray bytes, then a reply of 589 characters.
constexpr uint32_t kLongestReception = kMaxFrameChars + kStrayBytesAllowed;

// A tag of a request frame: the same text, the same tag (FNV-1a, never 0).
uint32_t RequestTag(const char* frame, uint32_t length) {
  uint32_t hash = 2166136261u;
  for (uint32_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(frame[i])) * 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

// What the transaction layer keeps with a port between its exchanges: how
// many replies the line may still deliver, a tag of the request they would
// answer, and the longest reply that request can have. All 0, the state of
// a port that has just opened, is "nothing owed".
struct OwedNote {
  uint32_t replies;
  uint32_t request;
  uint32_t replyChars;
};
static_assert(sizeof(OwedNote) <= kSerialUserBytes && alignof(OwedNote) <= kSerialUserAlign);
static_assert(std::is_trivially_copyable_v<OwedNote>);

// The port's note; false (and all 0) for a port the serial layer does not
// have open.
bool ReadNote(SerialHandle port, OwedNote* note) {
  const void* bytes = SerialUserData(port);
  *note = OwedNote{0, 0, 0};
  if (bytes == nullptr) return false;
  std::memcpy(note, bytes, sizeof *note);
  return true;
}

void WriteNote(SerialHandle port, const OwedNote& note) {
  if (void* bytes = SerialUserData(port)) std::memcpy(bytes, &note, sizeof note);
}

// Reads that may fail in a drain without ending it while its window lasts:
// each waits a reply time-out at most, and a port whose reads fail at once
// (a device in error) cannot spin.
constexpr int kDrainQuietReadsAtMost = 8;

// Drops what the line still owes to a request other than tag (see above).
// The window: twice the reply time-out and the line time of the owed
// reply at its longest, from when the owed request left the line. Replies
// owed to its earlier attempts were asked for earlier and come earlier.
void DrainOwed(SerialHandle port, uint32_t tag) {
  OwedNote owed{};
  if (!ReadNote(port, &owed) || owed.replies == 0 || owed.request == tag) return;
  SerialLimitReception(port, 2, owed.replyChars + kStrayBytesAllowed);
  uint32_t left = owed.replies;
  int quiet = 0;
  char byte = 0;
  while (left > 0 && quiet < kDrainQuietReadsAtMost) {
    if (SerialRead(port, &byte, 1, nullptr) == SerialOk) {
      if (byte == ';') --left;
    } else if (SerialReceptionOver(port)) {
      break;
    } else {
      ++quiet;
    }
  }
  WriteNote(port, OwedNote{0, 0, 0});
}

// The longest reply a request frame can have: that of a block read or
// write as its expectation gives it, any reply for the adapter's own.
uint32_t LongestReplyTo(const char* frame) {
  ReplyExpectation expected{};
  if (!ExpectationOf(frame, &expected) || expected.station < 0) return kMaxFrameChars;
  return static_cast<uint32_t>(kPrimitiveReplyOverhead +
                               (expected.dataChars > 0 ? expected.dataChars : 0));
}

// The note after a request went out whole: one more reply owed to it.
void NoteSent(SerialHandle port, const char* frame, uint32_t tag) {
  OwedNote owed{};
  ReadNote(port, &owed);
  if (owed.request != tag) owed.replies = 0;  // drained above
  WriteNote(port, OwedNote{owed.replies + 1, tag, LongestReplyTo(frame)});
}

// The note after a whole reply came in (received) or after a whole reply
// turned out to answer another request (given back).
void NoteReply(SerialHandle port, bool received) {
  OwedNote owed{};
  if (!ReadNote(port, &owed)) return;
  if (received && owed.replies > 0) --owed.replies;
  if (!received) ++owed.replies;
  WriteNote(port, owed);
}

void ExpectRest(SerialHandle port, const char* reply) {
  if (!AllUpperHex(reply + 1, kLengthFieldEnd - 1)) return;
  const int32_t length = DecodeHex(reply + 1, 4) & 0xFFFF;
  if (length <= kLengthFieldEnd || length > kMaxFrameChars) return;
  SerialExpectInput(port, static_cast<uint32_t>(length - kLengthFieldEnd));
}

}  // namespace

uint32_t RepliesOwed(SerialHandle port) {
  OwedNote owed{};
  ReadNote(port, &owed);
  return owed.replies;
}

int32_t Transact(const ZorRequest& request, const char* frame, char* reply) {
  const int32_t status = SendFrame(request, frame, static_cast<uint32_t>(TextLength(frame)));
  if (status != 0) return status;
  return ReceiveReply(request, reply);
}

int32_t SendFrame(const ZorRequest& request, const char* frame, uint32_t length) {
  if (request.context == nullptr) return SerialIoFailed;  // no instance, no port
  const SerialHandle port = request.context->portHandle;
  const uint32_t tag = RequestTag(frame, length);
  DrainOwed(port, tag);    // no late reply to another request may meet this one
  SerialPurgeInput(port);  // nothing left from earlier traffic may pass for the reply
  uint32_t written = 0;
  const int32_t status = SerialWrite(port, frame, length, &written);
  if (status != 0) return status;
  if (written != length) return SerialShortWrite;
  NoteSent(port, frame, tag);
  return 0;
}

int32_t ReceiveReply(const ZorRequest& request, char* reply) {
  if (request.context == nullptr) {
    reply[0] = '\0';
    return SerialIoFailed;
  }
  const SerialHandle port = request.context->portHandle;
  // The reception as a whole ends within the reply time-out and the line
  // time of the longest reply, counted from when the request has left the
  // line, whatever arrives: a line that trickles bytes cannot stretch it.
  SerialLimitReception(port, 1, kLongestReception);
  int32_t stored = 0;
  int32_t allowance = kStrayBytesAllowed;
  int32_t status = 0;
  for (;;) {
    char byte = 0;
    status = SerialRead(port, &byte, 1, nullptr);
    if (status != 0) break;
    if (stored > 0 || byte == ':') {
      reply[stored++] = byte;
      // With its length field in, the rest of the reply is known: let the
      // serial layer gather it rather than wake for every character. Only a
      // hint; each byte is still read on its own and ends the reception at
      // the first ";".
      if (stored == kLengthFieldEnd) ExpectRest(port, reply);
    } else {
      --allowance;
    }
    if (stored > 0 && reply[stored - 1] == ';') break;
    if (stored == kMaxFrameChars || allowance == 0) break;
  }
  reply[stored] = '\0';
  const bool whole = stored > 0 && reply[stored - 1] == ';';
  if (whole) NoteReply(port, true);
  // Whatever ended the reception, let trailing bytes arrive and drop them.
  SerialSleep(kSettleMs);
  SerialPurgeInput(port);
  if (status != 0) return status;
  return whole ? 0 : ReplyIncomplete;
}

namespace {

int32_t LoggedVerdict(const ZorRequest& request, const ReplyVerdict& verdict) {
  const char* format = ReplyFaultFormat(verdict.fault);
  if (format == nullptr) return verdict.status;
  if (verdict.fault == ReplyPrimitiveError) {
    LogLine(request, format, static_cast<unsigned>(verdict.primitiveError));
  } else {
    LogLine(request, format);
  }
  return verdict.status;
}

}  // namespace

int32_t CheckReply(const ZorRequest& request, const char* reply) {
  return LoggedVerdict(request, JudgeReply(reply, nullptr));
}

int32_t CheckReplyTo(const ZorRequest& request, const char* reply, const char* requestFrame) {
  ReplyExpectation expected{};
  const bool known = ExpectationOf(requestFrame, &expected);
  const ReplyVerdict verdict = JudgeReply(reply, known ? &expected : nullptr);
  // A sound reply to another request: this request's own is still owed.
  if (verdict.fault == ReplyForeign && request.context != nullptr) {
    NoteReply(request.context->portHandle, false);
  }
  return LoggedVerdict(request, verdict);
}

int32_t AdapterRequest(const ZorRequest& request, const char* body, char* reply) {
  char frame[kFrameBufferSize] = {};
  const int32_t bodyChars = BoundedLength(body, static_cast<int32_t>(kFrameBufferSize));
  if (bodyChars >= static_cast<int32_t>(kFrameBufferSize)) return 1;
  std::memcpy(frame, body, static_cast<size_t>(bodyChars));
  if (ComposeFrame(nullptr, frame, PlainFrame) != 0) return 1;
  const int32_t status = Transact(request, frame, reply);
  if (status != 0) return status;
  return CheckReplyTo(request, reply, frame);
}
