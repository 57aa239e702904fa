// CheckReply on any reply text. The text sits in a 590-byte buffer whose
// bytes behind the NUL are left over from the input, as they are after
// earlier replies. The check must read nothing past the NUL (an exactly
// sized heap copy of the text lets ASan see that), give the same answer
// whatever lies behind it, and stay inside a buffer that holds no NUL.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "nitp/transact.h"

namespace {

int32_t Check(const char* reply) {
  static PortContext context;  // CheckReply reads no more than the request's instance
  const ZorRequest request{&context, 5, 1, 0, nullptr};
  return CheckReply(request, reply);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char buffer[kFrameBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  std::memcpy(buffer, data, size < kFrameBufferSize - 1 ? size : kFrameBufferSize - 1);
  const size_t textChars = std::strlen(buffer);

  const int32_t status = Check(buffer);
  FUZZ_CHECK(status >= 0 && status <= 0xFFFF);

  // What is accepted is upper-case hex from the length field to the ";",
  // and a reply accepted as the answer to a read of four words on station
  // 05 carries station 05, primitive 20 and exactly sixteen data digits.
  const ReplyVerdict verdict = JudgeReply(buffer, nullptr);
  if (verdict.fault == ReplyAccepted || verdict.fault == ReplyMessageFailed) {
    for (int32_t i = 1; i < verdict.length - 1; ++i) {
      FUZZ_CHECK((buffer[i] >= '0' && buffer[i] <= '9') || (buffer[i] >= 'A' && buffer[i] <= 'F'));
    }
  }
  ReplyExpectation readFour{};
  FUZZ_CHECK(ExpectationOf(":001E01050006200100040064DE6E;", &readFour));
  if (JudgeReply(buffer, &readFour).status == 0) {
    FUZZ_CHECK(std::memcmp(buffer + 5, "0105", 4) == 0 && std::memcmp(buffer + 13, "20", 2) == 0);
    FUZZ_CHECK(verdict.length == 22 + 16);
  }

  // The same text alone on the heap: any read past its NUL is out of bounds.
  std::unique_ptr<char[]> exact(new char[textChars + 1]);
  std::memcpy(exact.get(), buffer, textChars + 1);
  FUZZ_CHECK(Check(exact.get()) == status);

  // The same text with other stale bytes behind it.
  std::memset(buffer + textChars + 1, ';', sizeof buffer - textChars - 1);
  FUZZ_CHECK(Check(buffer) == status);

  // A full buffer without any NUL: the check stays within its 590 bytes.
  std::unique_ptr<char[]> full(new char[kFrameBufferSize]);
  std::memset(full.get(), ':', kFrameBufferSize);
  for (size_t i = 0; i < size && i < kFrameBufferSize; ++i)
    full[i] = data[i] != 0 ? static_cast<char>(data[i]) : ':';
  const int32_t unterminated = Check(full.get());
  FUZZ_CHECK(unterminated >= 0 && unterminated <= 0xFFFF);
  return 0;
}
