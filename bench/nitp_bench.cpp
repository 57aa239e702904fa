// Frame composition, reply checks and the checksum, in the caller's buffers.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "base/records.h"
#include "nitp/frame.h"
#include "nitp/transact.h"

namespace {

BlockRequest VWords(int32_t count, uint16_t* data) {
  BlockRequest r{};
  r.address = PointAddress{5, 'V', 0x64, kWholeElement, 16};
  r.elementCount = count;
  r.data = data;
  return r;
}

void ComposeWrite62Words(benchmark::State& state) {
  uint16_t data[63];
  for (int i = 0; i < 63; ++i) data[i] = static_cast<uint16_t>(i * 0x0101);
  const BlockRequest request = VWords(62, data);
  char frame[kFrameBufferSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(ComposeFrame(&request, frame, WriteFrame));
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::to_string(std::strlen(frame)) + " characters");
}
BENCHMARK(ComposeWrite62Words);

void ComposeRead(benchmark::State& state) {
  const BlockRequest request = VWords(4, nullptr);
  char frame[kFrameBufferSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(ComposeFrame(&request, frame, ReadFrame));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(ComposeRead);

// A read reply of 270 characters: message code 01, primitive done, then data.
void CheckReply270(benchmark::State& state) {
  std::string body =
      "0105"
      "00FE"
      "20"
      "00";
  while (body.size() < 260) body += "1A2B";
  body.resize(260);
  char reply[kFrameBufferSize] = {};
  std::memcpy(reply, body.data(), body.size());
  ComposeFrame(nullptr, reply, PlainFrame);
  PortContext context{};
  const ZorRequest request{&context, 6, 1, 0, nullptr};
  int32_t status = -1;
  for (auto _ : state) {
    status = CheckReply(request, reply);
    benchmark::DoNotOptimize(status);
  }
  state.SetLabel(std::to_string(std::strlen(reply)) + " characters, status " +
                 std::to_string(status));
}
BENCHMARK(CheckReply270);

void FrameChecksum580(benchmark::State& state) {
  char text[580];
  for (int i = 0; i < 580; ++i) text[i] = "0123456789ABCDEF"[i % 16];
  for (auto _ : state) {
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(FrameChecksum(text, 580));
  }
}
BENCHMARK(FrameChecksum580);

}  // namespace
