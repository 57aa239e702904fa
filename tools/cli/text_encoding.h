// Text in the encodings tiway meets: JSON string literals, and the code page
// 437 of the driver's banner.
#pragma once

#include <string>
#include <string_view>

namespace tiway {

// A JSON string literal, quotes included. Valid UTF-8 passes; control
// characters and bytes that are not UTF-8 become \u escapes.
std::string JsonString(std::string_view text);

// The banner's code page 437 bytes as UTF-8 (ASCII unchanged).
std::string Cp437ToUtf8(std::string_view text);

}  // namespace tiway
