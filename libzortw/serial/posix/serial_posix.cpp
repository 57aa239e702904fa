// The serial port layer on POSIX terminals (termios).
//
// The backend keeps the ports it opened in a table of its own (see
// serial/port_table.h): the descriptor, the total read time-out, the
// terminal settings found at open and a reception buffer. The driver holds
// the table's handle, never the descriptor, so a handle the backend did not
// give out reaches no file. Nothing of the backend's is kept in the
// terminal's settings: whoever changes them (stty, another program) can
// change how the line frames characters, never how long a read waits.
//
// Descriptors 0 to 2 are never used for a port: a host that runs with its
// standard streams closed gets such numbers from open(), and the backend
// moves them up before anything else happens.
//
// The port is opened exclusively: TIOCEXCL refuses further opens of the
// terminal to everybody but root, and an advisory flock() on the device
// refuses them to root as well (every open path of this backend takes it).
// The mark is the terminal's, not the descriptor's: it outlives the close
// for as long as any other process holds the terminal (the master side of
// a pseudo-terminal, a getty, a modem manager), and would then refuse the
// next open of the port even to this driver. So whatever gives a port up
// (a close, an open that fails after the mark was set) goes through one
// path, Shut, which clears the mark before the descriptor is closed. The
// mark is cleared whoever set it: while the driver held the port it was
// the driver's to hold, and a mark left over from a program that ended
// without clearing it (only root gets past one) goes with it.
//
// Reception: the driver asks for one byte at a time. A read takes whatever
// the device holds, up to the buffer's size, in one read() and serves the
// following calls from the buffer; it waits in poll() only when the buffer
// is empty, against a deadline on the monotonic clock, because VTIME can
// express neither milliseconds nor a total over several bytes. While a
// reply is coming in, an empty device means its next characters are on the
// wire: the read sleeps for a few character times and takes them together
// rather than waking for each (see kGatherChars).
#include "serial/posix/serial_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>

#include "serial/port_table.h"
#include "serial/reception_clock.h"

namespace serial_posix {

namespace {

int CallOpen(const char* path, int flags) {
  return ::open(path, flags);
}
int CallFcntl(int fd, int command, int argument) {
  return ::fcntl(fd, command, argument);
}
int CallIoctl(int fd, unsigned long request, void* argument) {
  return ::ioctl(fd, request, argument);
}

// The purge drains in blocks of this size at this time-out (ms), at most
// this many blocks: a line that never falls quiet cannot hold it for ever.
constexpr uint32_t kDrainBlock = 512;
constexpr uint32_t kDrainTimeoutMs = 50;
constexpr int kDrainBlocksAtMost = 8;

// While a reply comes in, a read that finds the device empty lets the next
// characters gather before it reads again, instead of waking for each one.
// When the caller has said how many bytes are still to come
// (SerialExpectInput), they gather for exactly that many character times,
// at most kGatherExpectedChars: the last of them is read as soon as it can
// have arrived, so the reply's end is not delayed. Otherwise for
// kGatherChars character times, which delays a reply's end by at most that.
constexpr uint32_t kGatherChars = 4;
constexpr uint32_t kGatherExpectedChars = 64;
constexpr uint32_t kGatherLimitUs = 40000;

// Where a name without '/' lives.
constexpr char kDeviceDirectory[] = "/dev/";
constexpr size_t kLongestPath = 256;

// An open port: what the backend keeps for its handle.
struct Port {
  int fd;
  bool terminal;             // false for the dummy port
  uint32_t timeoutMs;        // the total read time-out
  uint32_t charUs;           // one character's time at the line's rate (0: never gather)
  uint32_t expected;         // bytes the caller still expects (0: not known)
  ReceptionClock reception;  // on the monotonic clock
  bool gathering;            // the last device read delivered: a reply is coming in
  struct termios found;      // the terminal's settings before the open
  // What the open has done to the terminal, for Shut to undo.
  bool locked;     // the flock() is held
  bool exclusive;  // the terminal is marked exclusive (TIOCEXCL)
  bool changed;    // its settings or modem lines may differ from `found`
  uint32_t next;   // the first buffered byte not yet delivered
  uint32_t end;    // one past the last buffered byte
  unsigned char buffer[kReceiveBufferSize];
};

// The backend's only process-wide state.
constinit serial_table::PortTable<Port> g_ports;

// open() that never yields one of the standard descriptors 0 to 2.
int OpenDescriptor(const PosixCalls& calls, const char* path) {
  int fd;
  do {
    fd = calls.sysOpen(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 || fd > 2) return fd;
  int moved = calls.sysFcntl(fd, F_DUPFD_CLOEXEC, 3);
  calls.sysClose(fd);
  return moved;
}

int64_t NowMs(const PosixCalls& calls) {
  struct timespec now {};
  if (calls.sysClockGettime(CLOCK_MONOTONIC, &now) != 0) return -1;
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The baud rates that have a termios speed. The field is 16 bits wide, so
// nothing above 57600 can be asked for.
struct SpeedEntry {
  uint16_t rate;
  speed_t speed;
};
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
    {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
};

// Raises or lowers one modem line. A pseudo-terminal has no modem lines and
// answers ENOTTY or EINVAL, which is not a refusal of the settings.
bool SetModemLine(const PosixCalls& calls, int fd, int line, bool on) {
  int bits = line;
  if (calls.sysIoctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

// DTR and RTS as the handshake mask selects them. termios has no DTR
// handshake and no RTS handshake on input alone (CRTSCTS would also stop
// output on CTS, which the port must not do), so the handshake modes raise
// the line: the level those modes keep while the input queue has room. RTS
// toggle (on only while sending) leaves RTS at its idle level, off; a
// transceiver that needs RTS switched per frame has to get that from the
// kernel's RS-485 mode, configured outside the driver.
bool ApplyModemLines(const PosixCalls& calls, int fd, uint16_t handshake) {
  bool dtr = HandshakeDtrControl(handshake) != DtrDisable;
  RtsControl rtsMode = HandshakeRtsControl(handshake);
  bool rts = rtsMode == RtsEnable || rtsMode == RtsHandshake;
  return SetModemLine(calls, fd, TIOCM_DTR, dtr) && SetModemLine(calls, fd, TIOCM_RTS, rts);
}

// The time-out in milliseconds for a value in tens of milliseconds, computed
// in 64 bits. 0 or less becomes one tick, 10 ms, as on Windows, where an
// all-zero time-out would let a read wait for ever: a caller that asks for
// no wait gets the shortest one the unit expresses, and a purge that saves
// and restores it sees 1, not the 0 that means "nothing to restore". The
// longest wait is 0xFFFFFFFE ms (49.7 days), so tens of it fit 32 bits.
uint32_t ReadTimeoutMs(int32_t timeout) {
  if (timeout <= 0) return 10;
  constexpr int64_t kLongestMs = 0xFFFFFFFE;
  const int64_t ms = static_cast<int64_t>(timeout) * 10;
  return static_cast<uint32_t>(ms < kLongestMs ? ms : kLongestMs);
}

}  // namespace

namespace {

// Every call through the real table, for tests and benchmarks.
std::atomic<uint64_t> g_systemCalls{0};

void Count() {
  g_systemCalls.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

const PosixCalls kPosixCalls = {
    [](const char* path, int flags) { return Count(), CallOpen(path, flags); },
    [](int fd) { return Count(), ::close(fd); },
    [](int fd, int command, int argument) { return Count(), CallFcntl(fd, command, argument); },
    [](int fd, unsigned long request, void* argument) {
      return Count(), CallIoctl(fd, request, argument);
    },
    [](int fd, int operation) { return Count(), ::flock(fd, operation); },
    [](int fd, struct termios* attributes) { return Count(), ::tcgetattr(fd, attributes); },
    [](int fd, int when, const struct termios* attributes) {
      return Count(), ::tcsetattr(fd, when, attributes);
    },
    [](int fd, void* buffer, size_t count) { return Count(), ::read(fd, buffer, count); },
    [](int fd, const void* buffer, size_t count) { return Count(), ::write(fd, buffer, count); },
    [](struct pollfd* fds, nfds_t count, int timeoutMs) {
      return Count(), ::poll(fds, count, timeoutMs);
    },
    [](clockid_t clock, struct timespec* now) { return Count(), ::clock_gettime(clock, now); },
    [](const struct timespec* request, struct timespec* remaining) {
      return Count(), ::nanosleep(request, remaining);
    },
    [](int fd, int queue) { return Count(), ::tcflush(fd, queue); },
};

uint64_t SystemCallCount() {
  return g_systemCalls.load(std::memory_order_relaxed);
}

int32_t ApplyLineSettings(struct termios& attributes, const LineSettings& line) {
  // Only the low bytes of the data bits, stop bits and parity count, as in
  // the Windows device control block.
  const unsigned dataBits = line.dataBits & 0xFF;
  const unsigned stopBits = line.stopBits & 0xFF;
  const unsigned parity = line.parity & 0xFF;

  speed_t speed = B0;
  for (const SpeedEntry& entry : kSpeeds) {
    if (entry.rate == line.baudRate) speed = entry.speed;
  }
  if (speed == B0) return SerialLineRefused;

  tcflag_t size;
  switch (dataBits) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return SerialLineRefused;
  }

  // Stop bits: 0 one, 2 two. One and a half (1) has no termios form; it
  // becomes two. A receiver checks only the first stop bit, so a peer that
  // expects one and a half reads two correctly (the extra half bit is idle
  // line), and an 8250-type UART sends one and a half anyway when CSTOPB
  // meets 5 data bits.
  tcflag_t stop;
  switch (stopBits) {
    case 0:
      stop = 0;
      break;
    case 1:
    case 2:
      stop = CSTOPB;
      break;
    default:
      return SerialLineRefused;
  }

  tcflag_t parityFlags;
  switch (parity) {
    case 0:
      parityFlags = 0;
      break;
    case 1:
      parityFlags = PARENB | PARODD;
      break;
    case 2:
      parityFlags = PARENB;
      break;
#ifdef CMSPAR
    case 3:
      parityFlags = PARENB | CMSPAR | PARODD;
      break;  // mark
    case 4:
      parityFlags = PARENB | CMSPAR;
      break;  // space
#endif
    default:
      return SerialLineRefused;
  }

  // Raw mode, as cfmakeraw() sets it, with parity checking on input: a
  // character that arrives with a parity error is read as a NUL byte, which
  // the frame checks then reject. No XON/XOFF, no RTS/CTS flow control.
  attributes.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | IGNPAR);
  attributes.c_iflag |= INPCK;
  attributes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  attributes.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tcflag_t cleared = CSIZE | CSTOPB | PARENB | PARODD;
#ifdef CMSPAR
  cleared |= CMSPAR;
#endif
#ifdef CRTSCTS
  cleared |= CRTSCTS;
#endif
  attributes.c_cflag &= ~cleared;
  attributes.c_cflag |= size | stop | parityFlags | CLOCAL | CREAD;
  // Reads never block in the kernel: the descriptor is non-blocking and
  // every wait is a poll() against the time-out.
  attributes.c_cc[VMIN] = 0;
  attributes.c_cc[VTIME] = 0;
  if (cfsetispeed(&attributes, speed) != 0 || cfsetospeed(&attributes, speed) != 0) {
    return SerialLineRefused;
  }
  return SerialOk;
}

namespace {

// The path a port name opens: "NUL" the null device, a name with '/' itself,
// any other name the device of that name in /dev. false when it does not fit.
bool DevicePath(const char* name, char (&path)[kLongestPath]) {
  if (std::strcmp(name, kNullPortName) == 0) name = kNullDevicePath;
  const size_t length = std::strlen(name);
  const bool bare = std::strchr(name, '/') == nullptr;
  const size_t prefix = bare ? sizeof kDeviceDirectory - 1 : 0;
  if (length == 0 || prefix + length >= kLongestPath) return false;
  std::memcpy(path, kDeviceDirectory, prefix);
  std::memcpy(path + prefix, name, length + 1);
  return true;
}

// Gives a port's device up, the one way a port's descriptor is closed:
// undoes what the open did, in reverse (the settings the terminal had put
// back, the exclusive mark cleared, the lock released; a lock is also held
// by descriptors a fork inherited), then closes. The close's result, as
// close() gave it.
int Shut(const PosixCalls& calls, const Port& port) {
  if (port.changed) calls.sysTcsetattr(port.fd, TCSANOW, &port.found);
  if (port.exclusive) calls.sysIoctl(port.fd, TIOCNXCL, nullptr);
  if (port.locked) calls.sysFlock(port.fd, LOCK_UN);
  return calls.sysClose(port.fd);
}

// An open that failed after its descriptor was opened: the device given up,
// the slot freed, the status passed on.
int32_t FailOpen(const PosixCalls& calls, SerialHandle handle, const Port& port, int32_t status) {
  Shut(calls, port);
  g_ports.Abandon(handle);
  return status;
}

}  // namespace

int32_t SerialOpenWith(const PosixCalls& calls, const char* name, const LineSettings& line,
                       uint16_t handshake, SerialHandle* handle) {
  *handle = kSerialInvalidHandle;
  const bool isNull = std::strcmp(name, kNullPortName) == 0;
  char path[kLongestPath];
  if (!DevicePath(name, path)) return SerialCannotOpen;

  // A full table: refused like a device that cannot be opened.
  SerialHandle claimed = 0;
  Port* port = g_ports.Claim(&claimed);
  if (port == nullptr) return SerialCannotOpen;

  const int fd = OpenDescriptor(calls, path);
  if (fd < 0) {
    g_ports.Abandon(claimed);
    return SerialCannotOpen;
  }
  port->fd = fd;
  port->timeoutMs = kInitialReadTimeoutMs;

  // The dummy port: the null device, shared, with nothing applied.
  if (isNull) {
    port->terminal = false;
    *handle = claimed;
    g_ports.Publish(claimed);
    return SerialOk;
  }

  // Somebody else holds the device: it cannot be opened, as when the
  // exclusive open itself is refused.
  if (calls.sysFlock(fd, LOCK_EX | LOCK_NB) != 0) {
    return FailOpen(calls, claimed, *port, SerialCannotOpen);
  }
  port->locked = true;
  *handle = claimed;

  struct termios attributes {};
  if (calls.sysTcgetattr(fd, &attributes) != 0) {
    return FailOpen(calls, claimed, *port, SerialNoLineState);
  }
  port->found = attributes;
  if (calls.sysIoctl(fd, TIOCEXCL, nullptr) != 0) {
    return FailOpen(calls, claimed, *port, SerialCannotOpen);
  }
  port->exclusive = true;
  if (ApplyLineSettings(attributes, line) != SerialOk) {
    return FailOpen(calls, claimed, *port, SerialLineRefused);
  }
  port->changed = true;
  if (calls.sysTcsetattr(fd, TCSANOW, &attributes) != 0 || !ApplyModemLines(calls, fd, handshake)) {
    return FailOpen(calls, claimed, *port, SerialLineRefused);
  }
  // The kernel keeps its own queues; there are no queue sizes to ask for.
  port->terminal = true;
  port->charUs = LineCharacterMicros(line);
  g_ports.Publish(claimed);
  return SerialOk;
}

int32_t SerialCloseWith(const PosixCalls& calls, SerialHandle handle) {
  uint32_t slot = 0;
  Port* port = g_ports.Retire(handle, &slot);
  if (port == nullptr) return SerialIoFailed;
  const int result = Shut(calls, *port);
  const int error = errno;
  g_ports.Release(slot);
  // The handle is gone whatever close() said: after any error but EBADF
  // Linux has released the descriptor already, and EBADF means the
  // descriptor was no longer the port's (somebody closed it under us).
  return result == 0 ? SerialOk : error == EBADF ? SerialIoFailed : SerialOk;
}

int32_t SerialSetReadTimeoutWith(const PosixCalls&, SerialHandle handle, int32_t timeout) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr || !port->terminal) return 0;  // the dummy port keeps its time-out
  const uint32_t previous = port->timeoutMs;
  port->timeoutMs = ReadTimeoutMs(timeout);
  return static_cast<int32_t>(previous / 10);  // at most 429496729
}

namespace {

// How long the bytes of a reply may gather before the next device read.
int64_t GatherUs(const Port& port) {
  const uint32_t chars = port.expected == 0                     ? kGatherChars
                         : port.expected < kGatherExpectedChars ? port.expected
                                                                : kGatherExpectedChars;
  const int64_t us = static_cast<int64_t>(chars) * port.charUs;
  return us < kGatherLimitUs ? us : kGatherLimitUs;
}

// One read with the semantics of a Windows ReadFile under a total read
// time-out: waits until count bytes have arrived or the port's time-out has
// elapsed, and delivers what arrived. Buffered bytes come first; the device
// is read in blocks as large as the buffer. false when a read failed.
bool ReadOnce(const PosixCalls& calls, Port& port, unsigned char* bytes, uint32_t count,
              uint32_t* delivered) {
  uint32_t got = 0;
  int64_t deadline = -1;  // set at the first wait: a read served at once asks no clock
  for (;;) {
    const uint32_t buffered = port.end - port.next;
    const uint32_t take = buffered < count - got ? buffered : count - got;
    std::memcpy(bytes + got, port.buffer + port.next, take);
    port.next += take;
    got += take;
    port.expected = port.expected > take ? port.expected - take : 0;
    *delivered = got;
    if (got == count) return true;

    // The buffer is empty: refill it with whatever the device holds.
    port.next = port.end = 0;
    const ssize_t n = calls.sysRead(port.fd, port.buffer, sizeof port.buffer);
    if (n > 0) {
      port.end = static_cast<uint32_t>(n);
      port.gathering = port.charUs != 0;
      continue;
    }
    // A terminal in raw mode with VMIN and VTIME at 0 answers 0, not EAGAIN,
    // while no byte is waiting. Anything else at 0 is at its end and nothing
    // more will come (the null device).
    if (n == 0 && !port.terminal) return true;
    if (n == 0) errno = EAGAIN;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;

    const int64_t now = NowMs(calls);
    if (now < 0) return false;
    if (deadline < 0) {
      // The wait after a write counts from when the written bytes have left
      // the line: their line time is part of the first byte's wait.
      ReceptionClock& reception = port.reception;
      reception.Start(static_cast<uint64_t>(now));
      const uint64_t from = static_cast<uint64_t>(now) > reception.WriteLeft()
                                ? static_cast<uint64_t>(now)
                                : reception.WriteLeft();
      const uint64_t end = from + port.timeoutMs;
      deadline = static_cast<int64_t>(reception.End() < end ? reception.End() : end);
    }
    if (now >= deadline) return true;
    const int64_t left = deadline - now;
    if (port.gathering) {
      port.gathering = false;  // set again when the gathered bytes are read
      const int64_t gatherUs = GatherUs(port);
      const int64_t waitUs = left * 1000 < gatherUs ? left * 1000 : gatherUs;
      struct timespec wait {
        0, static_cast<long>(waitUs) * 1000L
      };
      calls.sysNanosleep(&wait, nullptr);
      continue;
    }
    pollfd watch = {port.fd, POLLIN, 0};
    const int ready = calls.sysPoll(&watch, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (ready < 0 && errno != EINTR) return false;
    // The other end hung up (a pty whose master went away, an adapter
    // unplugged) or the device is in error: the read fails at once, since
    // nothing more will come. Bytes that arrived before were read above.
    if (ready > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return false;
    if (ready > 0 && (watch.revents & POLLIN) == 0) return false;
  }
}

}  // namespace

int32_t SerialPurgeInputWith(const PosixCalls& calls, SerialHandle handle) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialCannotOpen;
  port->next = port->end = 0;  // what the buffer holds is dropped in any case
  port->gathering = false;
  port->expected = 0;
  port->reception.Lift();

  // How much input is waiting. A terminal has no error state to clear:
  // characters with parity errors have already been delivered as NULs.
  int waiting = 0;
  if (calls.sysIoctl(port->fd, FIONREAD, &waiting) == 0 && waiting == 0) return SerialOk;

  const uint32_t saved = port->timeoutMs;
  port->timeoutMs = kDrainTimeoutMs;
  unsigned char scratch[kDrainBlock];
  bool readOk;
  uint32_t delivered = 0;
  int blocks = 0;
  do {
    readOk = ReadOnce(calls, *port, scratch, kDrainBlock, &delivered);
  } while (readOk && delivered == kDrainBlock && ++blocks < kDrainBlocksAtMost);
  port->timeoutMs = saved;
  port->next = port->end = 0;
  return readOk ? SerialOk : SerialCannotOpen;
}

int32_t SerialSendBreakWith(const PosixCalls& calls, uint32_t milliseconds, SerialHandle handle) {
  const Port* port = g_ports.Find(handle);
  const bool line = port != nullptr && port->terminal;
  if (line) calls.sysIoctl(port->fd, TIOCSBRK, nullptr);
  SerialSleepWith(calls, milliseconds);
  if (line) calls.sysIoctl(port->fd, TIOCCBRK, nullptr);
  return SerialOk;
}

int32_t SerialWriteWith(const PosixCalls& calls, SerialHandle handle, const void* buffer,
                        uint32_t count, uint32_t* written) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialIoFailed;
  const int fd = port->fd;
  port->reception.Lift();
  // The write waits for room in the output queue, but not for ever: flow
  // control (an XOFF, tcflow) or a peer that stops reading would hold the
  // caller's thread without end. The clock is read only when the terminal
  // makes the write wait.
  const char* bytes = static_cast<const char*>(buffer);
  uint32_t sent = 0;
  bool failed = false;
  bool timedOut = false;
  int64_t deadline = -1;
  while (sent < count) {
    ssize_t n = calls.sysWrite(fd, bytes + sent, count - sent);
    if (n > 0) {
      sent += static_cast<uint32_t>(n);
      continue;
    }
    if (n == 0) break;  // nothing taken: report the short write
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      failed = true;
      break;
    }
    const int64_t now = NowMs(calls);
    if (now < 0) {
      failed = true;
      break;
    }
    if (deadline < 0) deadline = now + SerialWriteBoundMs(port->charUs, count);
    if (now >= deadline) {
      timedOut = true;
      break;
    }
    const int64_t left = deadline - now;
    pollfd watch = {fd, POLLOUT, 0};
    int ready = calls.sysPoll(&watch, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;  // the clock decides at the top of the loop
    if (ready < 0 || (watch.revents & POLLOUT) == 0) {
      failed = true;
      break;
    }
  }
  // What a failed write left in the output queue is never sent later: it
  // would reach the adapter as the start of a frame nobody waits for.
  if ((failed || timedOut) && port->terminal) calls.sysTcflush(fd, TCOFLUSH);
  port->reception.Wrote(port->charUs, sent);
  // A failure before any byte went out is a failed write; after some bytes
  // it is a short one, and the caller learns how many went out.
  if ((failed || timedOut) && sent == 0) return SerialIoFailed;
  if (written) *written = sent;
  return sent == count ? SerialOk : SerialShortWrite;
}

int32_t SerialExpectInputWith(SerialHandle handle, uint32_t count) {
  Port* port = g_ports.Find(handle);
  if (port != nullptr) port->expected = count;
  return SerialOk;
}

int32_t SerialLimitReceptionWith(SerialHandle handle, uint32_t timeouts, uint32_t maxBytes) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialOk;
  port->reception.Limit(timeouts, port->timeoutMs, port->charUs, maxBytes);
  return SerialOk;
}

bool SerialReceptionOverWith(const PosixCalls& calls, SerialHandle handle) {
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return true;
  if (!port->reception.Bounded()) return true;
  const int64_t now = NowMs(calls);
  if (now < 0) return true;
  return port->reception.Over(static_cast<uint64_t>(now));
}

bool SerialIsOpenWith(SerialHandle handle) {
  return g_ports.Find(handle) != nullptr;
}

void* SerialUserDataWith(SerialHandle handle) {
  return g_ports.UserData(handle);
}

int32_t SerialReadWith(const PosixCalls& calls, SerialHandle handle, void* buffer, uint32_t count,
                       uint32_t* received) {
  if (received) *received = 0;
  Port* port = g_ports.Find(handle);
  if (port == nullptr) return SerialIoFailed;
  if (count == 0) return SerialOk;  // nothing asked: all of it has arrived
  auto* bytes = static_cast<unsigned char*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    // One platform read asks for at most 65535 bytes.
    uint32_t ask = count - total;
    if (ask > 0xFFFF) ask = 0xFFFF;
    uint32_t delivered = 0;
    if (!ReadOnce(calls, *port, bytes + total, ask, &delivered)) return SerialIoFailed;
    if (delivered == 0) return SerialIoFailed;
    total += delivered;
    if (received) *received = total;
  }
  return SerialOk;
}

int32_t SerialSleepWith(const PosixCalls& calls, uint32_t milliseconds) {
  struct timespec left {
    static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
  };
  while (calls.sysNanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return 0;
}

int PortDescriptor(SerialHandle handle) {
  const Port* port = g_ports.Find(handle);
  return port == nullptr ? -1 : port->fd;
}

}  // namespace serial_posix

using serial_posix::kPosixCalls;

int32_t SerialOpen(const char* name, const LineSettings& line, uint16_t handshake,
                   SerialHandle* handle) {
  return serial_posix::SerialOpenWith(kPosixCalls, name, line, handshake, handle);
}
int32_t SerialClose(SerialHandle handle) {
  return serial_posix::SerialCloseWith(kPosixCalls, handle);
}
int32_t SerialSetReadTimeout(SerialHandle handle, int32_t timeout) {
  return serial_posix::SerialSetReadTimeoutWith(kPosixCalls, handle, timeout);
}
int32_t SerialPurgeInput(SerialHandle handle) {
  return serial_posix::SerialPurgeInputWith(kPosixCalls, handle);
}
int32_t SerialSendBreak(uint32_t milliseconds, SerialHandle handle) {
  return serial_posix::SerialSendBreakWith(kPosixCalls, milliseconds, handle);
}
int32_t SerialWrite(SerialHandle handle, const void* buffer, uint32_t count, uint32_t* written) {
  return serial_posix::SerialWriteWith(kPosixCalls, handle, buffer, count, written);
}
int32_t SerialRead(SerialHandle handle, void* buffer, uint32_t count, uint32_t* received) {
  return serial_posix::SerialReadWith(kPosixCalls, handle, buffer, count, received);
}
int32_t SerialSleep(uint32_t milliseconds) {
  return serial_posix::SerialSleepWith(kPosixCalls, milliseconds);
}
int32_t SerialExpectInput(SerialHandle handle, uint32_t count) {
  return serial_posix::SerialExpectInputWith(handle, count);
}
int32_t SerialLimitReception(SerialHandle handle, uint32_t timeouts, uint32_t maxBytes) {
  return serial_posix::SerialLimitReceptionWith(handle, timeouts, maxBytes);
}
bool SerialReceptionOver(SerialHandle handle) {
  return serial_posix::SerialReceptionOverWith(kPosixCalls, handle);
}
bool SerialIsOpen(SerialHandle handle) {
  return serial_posix::SerialIsOpenWith(handle);
}
void* SerialUserData(SerialHandle handle) {
  return serial_posix::SerialUserDataWith(handle);
}
