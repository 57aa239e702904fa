// DefinePoint and CheckBlock through ZorMain with any address text (NUL-
// terminated, of any length, in an exactly sized heap buffer), any host data
// type and element count, on a zeroed instance whose port answers every
// connect. The answer is 0 or 1; on 0 the point's address is one the block
// transfers can use, its station is marked, and the host's own fields are as
// they were.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/point_records.h"
#include "driver/zormain.h"
#include "fuzz/fuzz_support.h"

namespace {

bool InRange(const PointAddress& a) {
  if (a.station < 1 || a.station > 254) return false;
  if (std::strchr("VXYCF", a.typeLetter) == nullptr || a.typeLetter == 0) return false;
  if (a.elementAddress < 1 || a.elementAddress > 0xFFFF) return false;
  if (a.bitsPerElement != 1 && a.bitsPerElement != 16 && a.bitsPerElement != 32) return false;
  return a.bitNumber == kWholeElement || (a.bitNumber >= 0 && a.bitNumber <= 15);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const uint8_t selector = input.Byte();
  const int32_t command = selector % 2 == 0 ? 3 : 4;
  const int32_t hostDataType = input.InRange(-2, 9);
  const auto elementCount = static_cast<int32_t>(input.Uint32());
  const std::string rest = input.Rest();
  const size_t textChars = std::strlen(rest.c_str());  // the text ends at its first NUL
  std::unique_ptr<char[]> text(new char[textChars + 1]);
  std::memcpy(text.get(), rest.c_str(), textChars + 1);

  fuzz::Instance instance;
  if (selector & 2) instance.context.ready = 1;
  // The adapter acknowledges every connect ("04" and the station).
  instance.line.responder = [](const std::string& frame) {
    return frame.size() >= 9 ? fuzz::Envelope(frame.substr(5, 4)) : std::string();
  };

  PointDefinition definition;
  std::memset(&definition, 0xA5, sizeof definition);
  definition.addressText = text.get();
  definition.hostDataType = hostDataType;
  definition.elementCount = elementCount;
  const PointDefinition before = definition;

  ZorRequest request = instance.Request(command, &definition);
  const int32_t status = ZorMain(&request);
  FUZZ_CHECK(status == 0 || status == 1);
  FUZZ_CHECK(definition.addressText == before.addressText);
  FUZZ_CHECK(definition.hostField1 == before.hostField1);
  FUZZ_CHECK(definition.hostDataType == before.hostDataType);
  FUZZ_CHECK(definition.elementCount == before.elementCount);
  if (status == 0) {
    FUZZ_CHECK(InRange(definition.address));
    FUZZ_CHECK(instance.context.stations[definition.address.station] == 1);
  }
  return 0;
}
