// What tiway's trace says about a request frame: its fields in words and
// the verdict on its envelope (length field and checksum).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tiway {

// The NITP checksum: two's complement of the 16-bit sum of 4-character hex
// groups, padded with "00" when the count is not a multiple of 4.
uint16_t Checksum(std::string_view text);

// A human-readable annotation of a request frame of a block transfer.
std::string AnnotateRequest(std::string_view frame);

}  // namespace tiway
