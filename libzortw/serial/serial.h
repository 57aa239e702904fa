// The serial port layer: the driver's only contact with the line.
//
// One interface, three backends chosen at link time: serial/win32 (the
// Windows communications API), serial/posix (termios) and the scripted fake
// line of the unit tests. Everything above this header sees only these
// functions and the statuses below; none of them logs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/port_settings.h"
#include "zortw/line_time.h"  // every bound the layer sets on the line comes from it

// A port handle as the context keeps it: 32 bits, 0 meaning "no port".
using SerialHandle = uint32_t;

// What SerialOpen stores in its out-parameter when the device cannot be
// opened (INVALID_HANDLE_VALUE on Windows).
inline constexpr SerialHandle kSerialInvalidHandle = 0xFFFFFFFFu;

// The layer's own status codes.
enum SerialStatus : int32_t {
  SerialOk = 0,
  SerialCannotOpen = 1,   // open failed, or time-outs could not be set; also a failed drain
  SerialShortWrite = 2,   // fewer bytes written than asked
  SerialNoLineState = 4,  // the device has no line state (not a serial device)
  SerialLineRefused = 5,  // the device refused the line settings
  SerialIoFailed = 7,     // close/write/read failed, or a read timed out with nothing
};

// The name of the dummy port: swallows writes, yields no input.
inline constexpr char kNullPortName[] = "NUL";

// Opens and configures a device. *handle receives the result of the open in
// every case: kSerialInvalidHandle when the open fails, a handle that is
// already closed again when a later step fails. Returns 0, 1, 4 or 5.
int32_t SerialOpen(const char* name, const LineSettings& line, uint16_t handshake,
                   SerialHandle* handle);

// Opens the device that settings describe; the handle, or 0 for any failure.
SerialHandle OpenPortDevice(const PortSettings& settings);

// 0, or 7 when the close fails (the handle then stays the caller's).
int32_t SerialClose(SerialHandle handle);

// Sets the total read time-out to timeout tens of milliseconds. Returns the
// time-out in force before the call, in tens of milliseconds (remainder
// dropped); 0 when the time-outs cannot be read or written.
int32_t SerialSetReadTimeout(SerialHandle handle, int32_t timeout);

// Clears the device's error state and drains waiting input (512-byte reads at
// a 50 ms time-out until the line is quiet). 0, or 1 when the last drain read
// failed.
int32_t SerialPurgeInput(SerialHandle handle);

// Holds the line in break state for the given milliseconds. Always 0.
int32_t SerialSendBreak(uint32_t milliseconds, SerialHandle handle);

// Writes count bytes (the system takes them in one request on Windows; the
// termios backend goes on until the terminal has taken them all), waiting
// at most SerialWriteBoundMs for the line: a line held by flow control or a
// peer that stops reading fails the write, and its unsent rest is flushed.
// 0 when all went out, 2 on a short write, 7 when the write failed before
// any byte went out (written is then not touched). written may be null.
// The reads that follow count their time-out from when the written bytes
// have left the line (their line time at the port's rate).
int32_t SerialWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written);

// Reads count bytes (at most 65535), each platform read waiting at most the
// total read time-out. 0 when all arrived; 7 when a read failed or delivered
// nothing, with *received holding the bytes so far. received may be null.
int32_t SerialRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t* received);

// A hint from the receiver: count more bytes are expected on this port (the
// rest of a reply whose length it has read). A backend may let them gather
// while they come in rather than wake for each; reads keep their time-out
// semantics whatever the hint. Always 0; no effect on a handle the layer did
// not open.
int32_t SerialExpectInput(SerialHandle handle, uint32_t count);

// A bound on the reception that follows: counted from when the bytes of the
// last write have left the line, the reads end at most timeouts times the
// port's read time-out plus the line time of maxBytes characters later; a
// read past that bound fails as one that timed out. The next write or purge
// lifts the bound. Always 0; no effect on a handle the layer did not open.
int32_t SerialLimitReception(SerialHandle handle, uint32_t timeouts, uint32_t maxBytes);

// Whether the bound of SerialLimitReception has passed (true when there is
// none, or for a handle the layer did not open).
bool SerialReceptionOver(SerialHandle handle);

// Whether handle is a port the layer opened and has not closed.
bool SerialIsOpen(SerialHandle handle);

// Room the layer keeps with every port it opened for its user, the layer
// above, which alone gives the bytes a meaning: kSerialUserBytes bytes,
// aligned to kSerialUserAlign, all 0 when the port opens, never read or
// written by the layer. The pointer stays valid until the port is closed;
// nullptr for a handle the layer did not open. The port belongs to one
// driver instance, whose requests come one at a time: the bytes need no
// lock of their own.
inline constexpr size_t kSerialUserBytes = 16;
inline constexpr size_t kSerialUserAlign = 8;
void* SerialUserData(SerialHandle handle);

// A write waits for the line at most twice its bytes' line time plus this
// margin (for the time a USB adapter or a loaded system takes to move them);
// past that it fails, and what is left of it is dropped from the output
// queue, never sent later.
inline constexpr uint32_t kSerialWriteMarginMs = 500;
constexpr uint32_t SerialWriteBoundMs(uint32_t characterMicros, uint32_t count) {
  return static_cast<uint32_t>((2ull * characterMicros * count + 999) / 1000) +
         kSerialWriteMarginMs;
}

// The driver's one sleeping seam. Always 0.
int32_t SerialSleep(uint32_t milliseconds);
