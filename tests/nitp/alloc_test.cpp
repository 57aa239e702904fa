// Heap allocations across a whole block exchange: compose the frame, run
// the transaction on the fake line, check the reply. The driver must make
// none.
//
// What is counted: every global operator new (all forms) and, on glibc
// without the address sanitizer, every malloc/calloc/realloc/aligned
// allocation, made while `g_counting` is set. The flag is set only around
// the driver calls. The fake line runs in its allocation-free mode during
// them (it keeps counters and the last frame in fixed storage, and its
// scripted reply was queued beforehand into reserved room), so a count
// above 0 can only come from the driver. The sanitizer build keeps its own
// malloc, and there only operator new is counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/records.h"
#include "nitp/frame.h"
#include "nitp/transact.h"
#include "tests/fake/fake_line.h"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

inline void Note() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
}
}  // namespace

// ---- the replaced allocation functions ----

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define ZORTW_COUNT_MALLOC 1
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t size) {
  Note();
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  Note();
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  Note();
  return __libc_realloc(p, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  Note();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  Note();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) {
  __libc_free(p);
}
}
#endif

void* operator new(size_t size) {
  Note();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  return operator new(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  Note();
  return std::malloc(size ? size : 1);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void* operator new(size_t size, std::align_val_t align) {
  Note();
  void* p = nullptr;
  size_t a = static_cast<size_t>(align);
  if (posix_memalign(&p, a < sizeof(void*) ? sizeof(void*) : a, size ? size : 1) != 0)
    throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size, std::align_val_t align) {
  return operator new(size, align);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace {

using fake::FakeLine;

struct Counting {
  Counting() {
    g_allocations = 0;
    g_counting = true;
  }
  ~Counting() { g_counting = false; }
};

// The counter itself works: allocations made while counting are seen.
TEST(Allocations, CounterSeesAllocations) {
  void* (*volatile allocate)(size_t) = &::operator new;
  long seen = 0;
  {
    Counting counting;
    void* p = allocate(64);
    ::operator delete(p);
#ifdef ZORTW_COUNT_MALLOC
    void* (*volatile mallocFn)(size_t) = &std::malloc;
    std::free(mallocFn(64));
#endif
    seen = g_allocations;
  }
#ifdef ZORTW_COUNT_MALLOC
  EXPECT_GE(seen, 2);
#else
  EXPECT_GE(seen, 1);
#endif
}

TEST(Allocations, NoneAcrossComposeTransactAndCheck) {
  FakeLine line;
  SerialHandle handle = 0;
  ASSERT_EQ(SerialOpen("COM1", LineSettings{19200, 7, 0, 1}, 8, &handle), 0);
  PortContext context{};
  context.portHandle = handle;
  ZorRequest request{&context, 5, 7, 0, nullptr};

  // The peer's answer, queued before counting starts: a 62-word read reply
  // (message code 01, primitive done).
  std::string body =
      "0105"
      "00FE"
      "20"
      "00";
  for (int i = 0; i < 62; ++i) body += "1234";
  char good[kFrameBufferSize] = {};
  std::memcpy(good, body.data(), body.size());
  ASSERT_EQ(ComposeFrame(nullptr, good, PlainFrame), 0);
  line.Reply(good);

  BlockRequest block{};
  block.address = PointAddress{5, 'V', 0x64, kWholeElement, 16};
  block.elementCount = 62;
  uint16_t words[63] = {};
  block.data = words;

  int32_t composed = -1, exchanged = -1, checked = -1;
  line.allocationFree = true;
  long allocations = 0;
  {
    Counting counting;
    composed = ComposeFrame(&block, context.requestFrame, ReadFrame);
    exchanged = Transact(request, context.requestFrame, context.replyBuffer);
    checked = CheckReply(request, context.replyBuffer);
    composed += ComposeFrame(&block, context.requestFrame, WriteFrame);
    allocations = g_allocations;
  }
  line.allocationFree = false;

  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(composed, 0);
  EXPECT_EQ(exchanged, 0);
  EXPECT_EQ(checked, 0);
  EXPECT_STREQ(context.replyBuffer, good);
  EXPECT_STREQ(line.lastWrite, ":001E010500062001003E0064DE34;");
  EXPECT_EQ(line.writeCalls, 1);
  EXPECT_EQ(line.purges, 2);
  EXPECT_EQ(line.reads, static_cast<int>(std::strlen(good)));
  EXPECT_EQ(line.sleepCalls, 1);
  EXPECT_EQ(line.lastSleepMs, 50u);
}

}  // namespace
