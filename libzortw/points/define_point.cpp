// Point address text and point definition.
//
// An address text is two hex digits of station, a type letter, four hex
// digits of element address and, for a single bit of a "V" word, one hex
// digit of bit number: 01V0010, 02X001F, 01V0001A. DefinePoint checks it
// against the host's data type for the point; CheckBlock runs the same
// definition in a relaxed mode for block points and then bounds the block.
// The rules themselves are points/address_rules.h's, which tiway shares.
#include "points/define_point.h"

#include "base/point_records.h"
#include "points/address_rules.h"
#include "points/connect_secondary.h"

namespace {

// The definition shared by both commands: 0 with address filled in, or 1.
int32_t Define(ZorRequest* request, PointDefinition* definition, AddressMode mode) {
  PointAddress& address = definition->address;
  const AddressVerdict verdict =
      JudgeAddress(definition->addressText, definition->hostDataType, mode, address);
  if (verdict.rule != AddressRule::Accepted) return 1;

  // The first point on a station connects it. The mark stays whatever the
  // connection gives: WarmStart reconnects every marked station that the
  // adapter does not list.
  uint8_t* entry = &request->context->stations[address.station];
  if (*entry == 0) {
    *entry = 1;
    ConnectSecondary(request, static_cast<uint8_t>(address.station));
  }
  return 0;
}

}  // namespace

int32_t DefinePoint(ZorRequest* request) {
  return Define(request, static_cast<PointDefinition*>(request->params), AddressMode::Strict);
}

int32_t CheckBlock(ZorRequest* request) {
  auto* definition = static_cast<PointDefinition*>(request->params);
  if (Define(request, definition, AddressMode::Relaxed) != 0) return 1;
  return JudgeBlock(definition->address, definition->elementCount) == AddressRule::Accepted ? 0 : 1;
}
