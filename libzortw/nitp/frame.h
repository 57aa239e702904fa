// NITP request frames: ":" length body checksum ";", upper-case hex text,
// composed in place in the caller's 590-byte buffer.
#pragma once

#include <cstdint>

#include "base/point_records.h"

enum FrameKind : int32_t { PlainFrame = 0, ReadFrame = 1, WriteFrame = 2 };

inline constexpr int32_t kMaxFrameChars = 589;  // a frame and its NUL fill 590 bytes

// One memory type: its letter and the 4-character read and write primitive
// codes. The table ends with a row whose letter is 0.
struct TypeRow {
  char letter;
  char readCode[5];
  char writeCode[5];
};
extern const TypeRow TypeTable[];

// The row for a type letter, or null.
const TypeRow* FindTypeRow(int32_t typeLetter);

// Writes the low 16 bits of value as exactly width (2 or 4) upper-case hex
// characters at destination; no terminator.
void FormatHexField(uint32_t value, int width, char* destination);

// The number of characters of the text before its NUL, looking at no more
// than limit bytes; limit when there is no NUL among them.
int32_t BoundedLength(const char* text, int32_t limit);

// Reads count characters as hex digits, unchecked ('0'-'9' as 0-9, anything
// above '9' as code - 55). 0 for count 0.
int32_t DecodeHex(const char* text, uint16_t count);

// The two's-complement 16-bit sum of the 4-character groups of text (padded
// with "00" when count is not a multiple of 4). Callers use the low 16 bits.
// An odd count pads its last group with '0' to four digits; nothing past
// count characters is read. 0 for a count below 1.
int32_t FrameChecksum(const char* text, int32_t count);

// The primitive of a block read or write, from the request, into the cleared
// 590-byte buffer. 0, or 1 when the request has no defined transfer.
int32_t BuildRequestBody(const BlockRequest& request, char* buffer, FrameKind kind);

// Puts "01" and the station in front of the text in the buffer.
void AddStationPrefix(const BlockRequest& request, char* buffer);

// Wraps the body text in the buffer into a whole frame.
void WrapFrame(char* buffer);

// Builds a whole frame in buffer (590 bytes). request is read for ReadFrame
// and WriteFrame only. 0 when the buffer holds a frame; 1 when there is
// nothing to send: a type letter without a row, a bitsPerElement other than
// 1, 16 or 32, a write whose count is negative, odd for 32-bit values, or too
// large for 589 characters, a write without an array, or a plain body longer
// than 579 characters. The host's array is read only after every check has
// passed, and never beyond the words the count names.
int32_t ComposeFrame(const BlockRequest* request, char* buffer, FrameKind kind);
