// The Windows serial backend's contact with the system: every kernel32 call
// that the backend makes goes through a Win32Calls table.
//
// kWin32Calls points at the real functions and is what the public Serial*
// functions use. The ...With variants take the table as an argument, so a
// test can hand in a table of its own (recording every call, failing the
// Nth one) without any mutable state in the driver. The table is constant
// and initialised at link time: loading the library runs no code of ours.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

#include "serial/serial.h"

struct Win32Calls {
  decltype(&::CreateFileA) createFileA;
  decltype(&::GetCommState) getCommState;
  decltype(&::SetCommState) setCommState;
  decltype(&::GetCommTimeouts) getCommTimeouts;
  decltype(&::SetCommTimeouts) setCommTimeouts;
  decltype(&::SetupComm) setupComm;
  decltype(&::ClearCommError) clearCommError;
  decltype(&::ReadFile) readFile;
  decltype(&::WriteFile) writeFile;
  decltype(&::SetCommBreak) setCommBreak;
  decltype(&::ClearCommBreak) clearCommBreak;
  decltype(&::CloseHandle) closeHandle;
  decltype(&::Sleep) sleep;
  decltype(&::PurgeComm) purgeComm;
  decltype(&::GetTickCount64) getTickCount64;
};

// The real kernel32 functions.
extern const Win32Calls kWin32Calls;

// The device HANDLE that a port handle stands for (the two are the same
// number: the driver keeps the HANDLE that CreateFileA gave);
// INVALID_HANDLE_VALUE when the backend has no such port open.
HANDLE DeviceOf(SerialHandle handle);

// What SerialOpen and SerialPurgeInput ask of the device.
inline constexpr DWORD kDcbLength = 28;
inline constexpr DWORD kQueueSize = 1200;          // input and output queues, bytes
inline constexpr DWORD kOpenReadTimeoutMs = 1000;  // total read time-out of a new port
inline constexpr BYTE kErrorChar = 0xFC;           // never substituted: fErrorChar is 0
inline constexpr int32_t kPurgeReadTimeout = 5;    // tens of ms
inline constexpr DWORD kPurgeBlockSize = 512;      // bytes per drain read
inline constexpr int kPurgeBlocksAtMost = 8;       // drain reads per purge

// The changes SerialOpen makes to the line state it read from the device;
// every member not named here keeps the value that was read.
void ApplyLineSettings(DCB& dcb, const LineSettings& line, uint16_t handshake);

// The read time-out in milliseconds for a time-out in tens of milliseconds.
DWORD ReadTimeoutMs(int32_t timeout);

// The time-outs a newly opened port gets: reads wait at most one second in
// total; a write at most twice its bytes' line time plus a margin
// (SerialWriteBoundMs), after which WriteFile returns with fewer bytes
// written.
COMMTIMEOUTS OpenTimeouts(const LineSettings& line);

int32_t SerialOpenWith(const Win32Calls& calls, const char* name, const LineSettings& line,
                       uint16_t handshake, SerialHandle* handle);
int32_t SerialCloseWith(const Win32Calls& calls, SerialHandle handle);
int32_t SerialSetReadTimeoutWith(const Win32Calls& calls, SerialHandle handle, int32_t timeout);
int32_t SerialPurgeInputWith(const Win32Calls& calls, SerialHandle handle);
int32_t SerialSendBreakWith(const Win32Calls& calls, uint32_t milliseconds, SerialHandle handle);
int32_t SerialWriteWith(const Win32Calls& calls, SerialHandle handle, const void* buffer,
                        uint32_t count, uint32_t* written);
int32_t SerialReadWith(const Win32Calls& calls, SerialHandle handle, void* buffer, uint32_t count,
                       uint32_t* received);
int32_t SerialSleepWith(const Win32Calls& calls, uint32_t milliseconds);
int32_t SerialLimitReceptionWith(SerialHandle handle, uint32_t timeouts, uint32_t maxBytes);
