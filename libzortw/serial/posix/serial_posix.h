// The termios serial backend, its system calls and its inner steps.
//
// Every system call the backend makes goes through a PosixCalls table. The
// public Serial* functions use the constant kPosixCalls; the ...With
// variants take a table of the caller's, so a test can make any one call
// fail. Both work on the backend's one table of open ports.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <cstdint>

#include "serial/serial.h"

namespace serial_posix {

struct PosixCalls {
  int (*sysOpen)(const char* path, int flags);
  int (*sysClose)(int fd);
  int (*sysFcntl)(int fd, int command, int argument);
  int (*sysIoctl)(int fd, unsigned long request, void* argument);
  int (*sysFlock)(int fd, int operation);
  int (*sysTcgetattr)(int fd, struct termios* attributes);
  int (*sysTcsetattr)(int fd, int when, const struct termios* attributes);
  ssize_t (*sysRead)(int fd, void* buffer, size_t count);
  ssize_t (*sysWrite)(int fd, const void* buffer, size_t count);
  int (*sysPoll)(struct pollfd* fds, nfds_t count, int timeoutMs);
  int (*sysClockGettime)(clockid_t clock, struct timespec* now);
  int (*sysNanosleep)(const struct timespec* request, struct timespec* remaining);
  int (*sysTcflush)(int fd, int queue);
};

// The real system calls.
extern const PosixCalls kPosixCalls;

// How many calls went through kPosixCalls in this process so far (clock
// reads included), for tests and benchmarks.
uint64_t SystemCallCount();

// The total read time-out of a port opened by SerialOpen, in milliseconds.
inline constexpr uint32_t kInitialReadTimeoutMs = 1000;

// The path that the dummy port "NUL" opens.
inline constexpr char kNullDevicePath[] = "/dev/null";

// Bytes a port takes from the device in one read and hands out one SerialRead
// after another.
inline constexpr uint32_t kReceiveBufferSize = 512;

// Applies the line parameters to a termios record in raw mode: 0, or
// SerialLineRefused when a parameter has no termios form.
int32_t ApplyLineSettings(struct termios& attributes, const LineSettings& line);

// The descriptor behind a handle of this backend, or -1 when the handle is
// not open (for tests).
int PortDescriptor(SerialHandle handle);

int32_t SerialOpenWith(const PosixCalls& calls, const char* name, const LineSettings& line,
                       uint16_t handshake, SerialHandle* handle);
int32_t SerialCloseWith(const PosixCalls& calls, SerialHandle handle);
int32_t SerialSetReadTimeoutWith(const PosixCalls& calls, SerialHandle handle, int32_t timeout);
int32_t SerialPurgeInputWith(const PosixCalls& calls, SerialHandle handle);
int32_t SerialSendBreakWith(const PosixCalls& calls, uint32_t milliseconds, SerialHandle handle);
int32_t SerialWriteWith(const PosixCalls& calls, SerialHandle handle, const void* buffer,
                        uint32_t count, uint32_t* written);
int32_t SerialExpectInputWith(SerialHandle handle, uint32_t count);
int32_t SerialLimitReceptionWith(SerialHandle handle, uint32_t timeouts, uint32_t maxBytes);
bool SerialReceptionOverWith(const PosixCalls& calls, SerialHandle handle);
bool SerialIsOpenWith(SerialHandle handle);
void* SerialUserDataWith(SerialHandle handle);
int32_t SerialReadWith(const PosixCalls& calls, SerialHandle handle, void* buffer, uint32_t count,
                       uint32_t* received);
int32_t SerialSleepWith(const PosixCalls& calls, uint32_t milliseconds);

}  // namespace serial_posix
