// Point records shared with the host. Every integer field is 32 bits; the
// host's own fields keep their places and are never read or written here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zortw/zortw.h"

using PointAddress = ZorPointAddress;
using PointDefinition = ZorPointDefinition;
using BlockRequest = ZorBlockRequest;

inline constexpr int32_t kWholeElement = ZOR_WHOLE_ELEMENT;  // bitNumber of a whole word

// Host data types (PointDefinition::hostDataType) and the size of a block.
inline constexpr int32_t kHostTypeWord = ZOR_HOST_TYPE_WORD;  // 0, 1, 2: V words
inline constexpr int32_t kHostTypeWordLast = ZOR_HOST_TYPE_WORD_LAST;
inline constexpr int32_t kHostTypeBit = ZOR_HOST_TYPE_BIT;          // V bits; X, Y, C
inline constexpr int32_t kHostTypeRefused = ZOR_HOST_TYPE_REFUSED;  // never defines a point
inline constexpr int32_t kMaxBlockChars = ZOR_MAX_BLOCK_CHARS;      // data characters of a block
inline constexpr int32_t kMaxBlockWords = ZOR_MAX_BLOCK_WORDS;      // 16-bit words
inline constexpr int32_t kMaxBlockDiscretes = ZOR_MAX_BLOCK_DISCRETES;  // X, Y, C
static_assert(kMaxBlockWords * 4 == kMaxBlockChars && kMaxBlockDiscretes * 2 == kMaxBlockChars);
