// The gateway's Modbus TCP framing and requests with any bytes, as one
// connection's stream: frames are cut by their MBAP header exactly as the
// server does; each is judged and answered. Every answer must carry its
// request's transaction id, protocol id 0, a length that matches its bytes,
// and for an exception the function code | 0x80 of a code below 0x80.
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "gateway/modbus/pdu.h"

namespace {

void CheckHeader(const uint8_t* frame, const std::vector<uint8_t>& answer) {
  FUZZ_CHECK(answer.size() >= 9 && answer.size() <= gateway::modbus::kMaxAdu);
  FUZZ_CHECK(answer[0] == frame[0] && answer[1] == frame[1]);
  FUZZ_CHECK(answer[2] == 0 && answer[3] == 0);
  FUZZ_CHECK(static_cast<size_t>((answer[4] << 8) | answer[5]) + 6 == answer.size());
  FUZZ_CHECK(answer[6] == frame[6]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace mb = gateway::modbus;
  size_t at = 0;
  while (at < size) {
    size_t length = 0;
    const mb::FrameState state = mb::Frame(data + at, size - at, length);
    if (state != mb::FrameState::Complete) break;  // bad: the server closes; short: it waits
    FUZZ_CHECK(length >= 8 && length <= mb::kMaxAdu && at + length <= size);
    const uint8_t* frame = data + at;
    mb::Request request;
    uint8_t code = 0;
    switch (mb::Parse(frame, length, request, code)) {
      case mb::Verdict::Refuse:
        FUZZ_CHECK(frame[7] >= 0x80);
        return 0;  // the connection is closed
      case mb::Verdict::Exception: {
        FUZZ_CHECK(frame[7] < 0x80 && code >= 1 && code <= 3);
        const std::vector<uint8_t> answer = mb::ExceptionAnswer(frame, code);
        CheckHeader(frame, answer);
        FUZZ_CHECK(answer.size() == 9 && answer[7] == (frame[7] | 0x80) && answer[8] == code);
        break;
      }
      case mb::Verdict::Serve: {
        if (request.function == mb::kReadDeviceId) {
          const std::vector<uint8_t> answer =
              mb::IdentificationAnswer(frame, request, {"zortw", "tiway-gateway", "1.0.0"});
          CheckHeader(frame, answer);
          FUZZ_CHECK(answer[7] == mb::kReadDeviceId && answer[8] == mb::kMeiDeviceId &&
                     request.idCode >= 1 && request.idCode <= 4 && answer[13] >= 1);
          break;
        }
        FUZZ_CHECK(request.count >= 1 && request.address + request.count <= 65536);
        if (request.write) {
          FUZZ_CHECK(request.values.size() == request.count);
          const std::vector<uint8_t> answer = mb::WriteAnswer(frame);
          CheckHeader(frame, answer);
          FUZZ_CHECK(answer.size() == 12);
        } else {
          const std::vector<uint16_t> values(request.count, 0xA5A5);
          const std::vector<uint8_t> answer = mb::ReadAnswer(frame, request, values);
          CheckHeader(frame, answer);
          FUZZ_CHECK(answer[7] == request.function && answer[8] + 9u == answer.size());
        }
        break;
      }
    }
    at += length;
  }
  return 0;
}
