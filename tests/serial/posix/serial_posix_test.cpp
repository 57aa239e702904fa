// The termios backend on real pseudo-terminals, and its system calls made to
// fail one at a time through a call table of the test's own.
#include "serial/posix/serial_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/records.h"
#include "driver/port_commands.h"
#include "serial/serial.h"

namespace {

using namespace serial_posix;

constexpr LineSettings k8N1{9600, 8, 0, 0};
constexpr uint16_t kNoModemLines = 0x0008;

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

bool IsOpenDescriptor(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

// Reads up to count bytes from a pty master, blocking or not, until they
// have come or the deadline has passed: a port that never writes (one that
// did not open) fails the test instead of holding it.
std::string ReadWithin(int fd, size_t count, std::chrono::milliseconds limit) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
    if (n > 0) {
      got.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;  // the slave side is gone
    }
  }
  return got;
}

// Whether the terminal behind fd is marked exclusive (TIOCEXCL); -1 when the
// kernel cannot say.
int MarkedExclusive(int fd) {
  int marked = -1;
  return ioctl(fd, TIOCGEXCL, &marked) == 0 ? marked : -1;
}

// A pseudo-terminal pair: the backend opens the slave by name, the test
// plays the peer on the master.
class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    name_ = name;
    ASSERT_EQ(tcgetattr(slave_, &fresh_), 0);  // a new terminal's settings: cooked, sane
  }
  void TearDown() override {
    if (handle_ != 0 && handle_ != kSerialInvalidHandle) SerialClose(handle_);
    close(slave_);
    close(master_);
  }

  SerialHandle OpenPort(const LineSettings& line = k8N1, uint16_t handshake = kNoModemLines) {
    SerialHandle handle = 0;
    EXPECT_EQ(SerialOpen(name_.c_str(), line, handshake, &handle), SerialOk);
    handle_ = handle;
    return handle;
  }

  void PeerWrites(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Waits (without a time limit that matters: at most a few seconds) until
  // the line discipline has queued count bytes for the port.
  void AwaitQueued(int count) {
    for (int i = 0; i < 5000; ++i) {
      int queued = 0;
      ASSERT_EQ(ioctl(slave_, FIONREAD, &queued), 0);
      if (queued >= count) return;
      usleep(1000);
    }
    FAIL() << "the peer's bytes never arrived";
  }

  // Waits until the terminal's output has stopped (the line discipline
  // handles the peer's XOFF on its own time): probe bytes written through
  // the test's own descriptor go out until it has. The probes, for the
  // peer's reads.
  std::string AwaitStopped() {
    const int flags = fcntl(slave_, F_GETFL);
    fcntl(slave_, F_SETFL, flags | O_NONBLOCK);
    std::string probes;
    for (int i = 0; i < 5000; ++i) {
      if (write(slave_, "p", 1) != 1) break;
      probes += 'p';
      usleep(1000);
    }
    fcntl(slave_, F_SETFL, flags);
    return probes;
  }

  std::string PeerReads(size_t count) {
    return ReadWithin(master_, count, std::chrono::seconds(5));
  }

  int master_ = -1;
  int slave_ = -1;
  std::string name_;
  SerialHandle handle_ = 0;
  termios fresh_{};
};

TEST_F(Pty, BytesCrossTheLineBothWays) {
  fcntl(master_, F_SETFL, O_NONBLOCK);
  SerialHandle port = OpenPort();
  ASSERT_GE(port, 3u);
  uint32_t written = 99;
  EXPECT_EQ(SerialWrite(port, "hello\r\n", 7, &written), SerialOk);
  EXPECT_EQ(written, 7u);
  EXPECT_EQ(PeerReads(7), "hello\r\n");  // raw: no output processing

  PeerWrites(":0A\r\x03\x7F;");  // raw: CR, ^C and DEL arrive as they are
  char buffer[8] = {};
  uint32_t received = 99;
  EXPECT_EQ(SerialRead(port, buffer, 7, &received), SerialOk);
  EXPECT_EQ(received, 7u);
  EXPECT_EQ(std::string(buffer, 7), ":0A\r\x03\x7F;");

  EXPECT_EQ(SerialWrite(port, "", 0, &written), SerialOk);
  EXPECT_EQ(written, 0u);
}

TEST_F(Pty, ReadTimeOutGivesTheBytesReceivedSoFar) {
  SerialHandle port = OpenPort();
  SerialSetReadTimeout(port, 3);  // 30 ms
  char buffer[10];
  uint32_t received = 99;
  EXPECT_EQ(SerialRead(port, buffer, 1, &received), SerialIoFailed);
  EXPECT_EQ(received, 0u);

  PeerWrites("ABCD");
  AwaitQueued(4);
  EXPECT_EQ(SerialRead(port, buffer, 10, &received), SerialIoFailed);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(std::string(buffer, 4), "ABCD");
  EXPECT_EQ(SerialRead(port, buffer, 1, nullptr), SerialIoFailed);
}

TEST_F(Pty, ReadTimeOutIsKeptPerPortAndSetOnlyWhenItChanges) {
  SerialHandle port = OpenPort();
  EXPECT_EQ(SerialSetReadTimeout(port, 300), 100);  // a fresh port waits 1000 ms
  EXPECT_EQ(SerialSetReadTimeout(port, 300), 300);
  termios attributes{};
  ASSERT_EQ(tcgetattr(slave_, &attributes), 0);
  for (int slot : {VERASE, VKILL, VWERASE, VLNEXT}) {  // nothing kept in the terminal
    EXPECT_EQ(attributes.c_cc[slot], fresh_.c_cc[slot]);
  }

  // Huge values neither overflow nor wrap: the longest wait is 0xFFFFFFFE
  // ms. 0 and below are one tick, never "wait for ever".
  EXPECT_EQ(SerialSetReadTimeout(port, INT32_MAX), 300);
  EXPECT_EQ(SerialSetReadTimeout(port, -5), 429496729);
  EXPECT_EQ(SerialSetReadTimeout(port, 0), 1);
  EXPECT_EQ(SerialSetReadTimeout(port, INT32_MIN), 1);
  char byte;
  EXPECT_EQ(SerialRead(port, &byte, 1, nullptr), SerialIoFailed);
  uint32_t received = 99;
  EXPECT_EQ(SerialRead(port, &byte, 0, &received), SerialOk);  // nothing asked
  EXPECT_EQ(received, 0u);
}

TEST_F(Pty, LineSettingsReachTheTerminal) {
  // A pseudo-terminal keeps the speed, stop bits and PARODD but always
  // reports CS8 without PARENB; those two are checked on ApplyLineSettings.
  OpenPort(LineSettings{19200, 7, 2, 1}, 0x0101);
  termios t{};
  ASSERT_EQ(tcgetattr(slave_, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & PARODD);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_EQ(t.c_lflag & (ICANON | ISIG | IEXTEN | ECHO), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | PARMRK | IGNPAR), 0u);
  EXPECT_TRUE(t.c_iflag & INPCK);
  EXPECT_FALSE(t.c_oflag & OPOST);
}

struct LineCase {
  LineSettings line;
  int32_t status;
  tcflag_t cflags;  // of CSIZE | CSTOPB | PARENB | PARODD | CMSPAR
};

TEST(ApplyLineSettings, MapsEveryParameterOrRefusesIt) {
  const tcflag_t kMask = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
  const LineCase cases[] = {
      {{19200, 7, 0, 1}, SerialOk, CS7 | PARENB | PARODD},
      {{9600, 8, 2, 0}, SerialOk, CS8 | CSTOPB},
      {{1200, 5, 1, 2}, SerialOk, CS5 | CSTOPB | PARENB},                 // one and a half: two
      {{300, 6, 0, 3}, SerialOk, CS6 | PARENB | CMSPAR | PARODD},         // mark
      {{57600, 8, 0, 4}, SerialOk, CS8 | PARENB | CMSPAR},                // space
      {{9600, 0x0107, 0x0200, 0x0301}, SerialOk, CS7 | PARENB | PARODD},  // low bytes count
      {{9600, 4, 0, 0}, SerialLineRefused, 0},
      {{9600, 9, 0, 0}, SerialLineRefused, 0},
      {{9600, 8, 3, 0}, SerialLineRefused, 0},
      {{9600, 8, 0, 5}, SerialLineRefused, 0},
      {{14400, 8, 0, 0}, SerialLineRefused, 0},  // no termios speed
      {{0, 8, 0, 0}, SerialLineRefused, 0},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.line.baudRate << "/" << c.line.dataBits << "/"
                                      << c.line.stopBits << "/" << c.line.parity);
    termios t{};
    t.c_cflag = CS8 | CSTOPB | PARENB | CRTSCTS;  // leftovers of a previous user
    t.c_lflag = ICANON | ECHO | ISIG;
    ASSERT_EQ(ApplyLineSettings(t, c.line), c.status);
    if (c.status != SerialOk) continue;
    EXPECT_EQ(t.c_cflag & kMask, c.cflags);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  }
}

TEST_F(Pty, PurgeDrainsWaitingInputAndRestoresTheTimeOut) {
  SerialHandle port = OpenPort();
  SerialSetReadTimeout(port, 30);
  PeerWrites(std::string(600, 'x'));
  AwaitQueued(600);
  EXPECT_EQ(SerialPurgeInput(port), 0);
  int queued = -1;
  ASSERT_EQ(ioctl(slave_, FIONREAD, &queued), 0);
  EXPECT_EQ(queued, 0);
  EXPECT_EQ(SerialSetReadTimeout(port, 30), 30);
}

// ---- a call table that records every call and can make one fail ----

struct Script {
  int failAt = 0;  // the 1-based call that fails with EIO; 0: none
  int calls = 0;
  std::vector<std::string> trace;
  std::vector<ssize_t> writeResults;  // scripted write results (-2: EAGAIN), then real writes
  size_t nextWrite = 0;
  std::vector<ssize_t> delivered;  // every read that delivered bytes
  std::vector<std::string> modem;  // "+DTR", "-RTS": every TIOCMBIS/TIOCMBIC
};
Script g_script;  // test-only state behind the recording call table

bool Fails(const char* name) {
  g_script.trace.push_back(name);
  if (++g_script.calls != g_script.failAt) return false;
  errno = EIO;
  return true;
}

const PosixCalls kRecording = {
    [](const char* path, int flags) {
      return Fails("open") ? -1 : kPosixCalls.sysOpen(path, flags);
    },
    [](int fd) { return Fails("close") ? -1 : kPosixCalls.sysClose(fd); },
    [](int fd, int command, int argument) {
      return Fails("fcntl") ? -1 : kPosixCalls.sysFcntl(fd, command, argument);
    },
    [](int fd, unsigned long request, void* argument) {
      if (Fails("ioctl")) return -1;
      if (request == TIOCMBIS || request == TIOCMBIC) {
        const int bits = *static_cast<int*>(argument);
        g_script.modem.push_back(std::string(request == TIOCMBIS ? "+" : "-") +
                                 (bits == TIOCM_DTR   ? "DTR"
                                  : bits == TIOCM_RTS ? "RTS"
                                                      : "?"));
      }
      return kPosixCalls.sysIoctl(fd, request, argument);
    },
    [](int fd, int operation) { return Fails("flock") ? -1 : kPosixCalls.sysFlock(fd, operation); },
    [](int fd, termios* t) { return Fails("tcgetattr") ? -1 : kPosixCalls.sysTcgetattr(fd, t); },
    [](int fd, int when, const termios* t) {
      return Fails("tcsetattr") ? -1 : kPosixCalls.sysTcsetattr(fd, when, t);
    },
    [](int fd, void* buffer, size_t count) -> ssize_t {
      if (Fails("read")) return -1;
      ssize_t n = kPosixCalls.sysRead(fd, buffer, count);
      if (n > 0) g_script.delivered.push_back(n);
      return n;
    },
    [](int fd, const void* buffer, size_t count) -> ssize_t {
      if (Fails("write")) return -1;
      if (g_script.nextWrite < g_script.writeResults.size()) {
        ssize_t result = g_script.writeResults[g_script.nextWrite++];
        if (result >= 0) return result;
        errno = result == -2 ? EAGAIN : EIO;
        return -1;
      }
      return kPosixCalls.sysWrite(fd, buffer, count);
    },
    [](pollfd* fds, nfds_t count, int timeoutMs) {
      return Fails("poll") ? -1 : kPosixCalls.sysPoll(fds, count, timeoutMs);
    },
    [](clockid_t clock, timespec* now) {
      return Fails("clock") ? -1 : kPosixCalls.sysClockGettime(clock, now);
    },
    [](const timespec* request, timespec* remaining) {
      return Fails("nanosleep") ? -1 : kPosixCalls.sysNanosleep(request, remaining);
    },
    [](int fd, int queue) { return Fails("tcflush") ? -1 : kPosixCalls.sysTcflush(fd, queue); },
};

class Recorded : public Pty {
 protected:
  void SetUp() override {
    Pty::SetUp();
    g_script = Script{};
  }
  size_t Count(const std::string& name) const {
    size_t n = 0;
    for (const std::string& call : g_script.trace) n += call == name;
    return n;
  }
};

TEST_F(Recorded, OpenClosesTheDescriptorWhicheverStepFails) {
  SerialHandle handle = 0;
  ASSERT_EQ(SerialOpenWith(kRecording, name_.c_str(), k8N1, 0x0303, &handle), SerialOk);
  EXPECT_EQ(MarkedExclusive(slave_), 1);
  ASSERT_EQ(SerialCloseWith(kRecording, handle), SerialOk);
  // The close: settings put back, exclusive mark cleared, lock released,
  // descriptor closed. The test's own descriptor of the terminal keeps it
  // alive, as a simulator, a getty or a modem manager would: the mark must
  // not outlive the driver's close.
  ASSERT_GE(g_script.trace.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(g_script.trace.end() - 4, g_script.trace.end()),
            (std::vector<std::string>{"tcsetattr", "ioctl", "flock", "close"}));
  EXPECT_EQ(MarkedExclusive(slave_), 0);
  const std::vector<std::string> opening(g_script.trace.begin(), g_script.trace.end() - 4);
  // open, lock, line state, TIOCEXCL, settings, DTR, RTS
  ASSERT_EQ(opening, (std::vector<std::string>{"open", "flock", "tcgetattr", "ioctl", "tcsetattr",
                                               "ioctl", "ioctl"}));
  const int32_t expected[] = {SerialCannotOpen, SerialCannotOpen,  SerialNoLineState,
                              SerialCannotOpen, SerialLineRefused, SerialLineRefused,
                              SerialLineRefused};

  const int before = OpenDescriptorCount();
  for (size_t step = 0; step < opening.size(); ++step) {
    SCOPED_TRACE(opening[step]);
    g_script = Script{};
    g_script.failAt = static_cast<int>(step) + 1;
    handle = 0;
    EXPECT_EQ(SerialOpenWith(kRecording, name_.c_str(), k8N1, 0x0303, &handle), expected[step]);
    EXPECT_EQ(OpenDescriptorCount(), before);
    if (step <= 1) {
      EXPECT_EQ(handle, kSerialInvalidHandle);
    } else {
      EXPECT_NE(handle, kSerialInvalidHandle);
      EXPECT_EQ(PortDescriptor(handle), -1);  // closed again
    }
    EXPECT_EQ(Count("close"), step == 0 ? 0u : 1u);
    EXPECT_EQ(MarkedExclusive(slave_), 0);
  }
  // The device is free again afterwards.
  OpenPort();
}

TEST_F(Recorded, HandshakeMaskSetsTheModemLines) {
  struct Case {
    uint16_t handshake;
    std::vector<std::string> modem;
  };
  const Case cases[] = {
      {0x0008, {"-DTR", "-RTS"}},  // the mask ColdStart uses
      {0x0101, {"+DTR", "-RTS"}},
      {0x8001, {"+DTR", "-RTS"}},  // enable wins over handshake
      {0x8000, {"+DTR", "-RTS"}},  // DTR handshake: raised
      {0x0202, {"-DTR", "+RTS"}},
      {0x3000, {"-DTR", "+RTS"}},  // RTS handshake wins over toggle: raised
      {0x2000, {"-DTR", "-RTS"}},  // RTS toggle: off while idle
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.handshake);
    g_script = Script{};
    SerialHandle handle = 0;
    ASSERT_EQ(SerialOpenWith(kRecording, name_.c_str(), k8N1, c.handshake, &handle), SerialOk);
    EXPECT_EQ(g_script.modem, c.modem);
    SerialClose(handle);
  }
}

TEST_F(Recorded, EmptyPurgeReadsNothingAndKeepsTheTimeOut) {
  SerialHandle port = OpenPort();
  EXPECT_EQ(SerialPurgeInputWith(kRecording, port), 0);
  EXPECT_EQ(g_script.trace, (std::vector<std::string>{"ioctl"}));
}

TEST_F(Recorded, PurgeOf600BytesReads512Then88) {
  SerialHandle port = OpenPort();
  SerialSetReadTimeout(port, 20);
  PeerWrites(std::string(600, 'y'));
  AwaitQueued(600);
  EXPECT_EQ(SerialPurgeInputWith(kRecording, port), 0);
  EXPECT_EQ(g_script.delivered, (std::vector<ssize_t>{512, 88}));
  // The time-out was lowered to 50 ms and put back in the port's record,
  // not in the terminal.
  EXPECT_EQ(Count("tcsetattr") + Count("tcgetattr"), 0u);
  EXPECT_EQ(SerialSetReadTimeout(port, 20), 20);
  int queued = -1;
  ASSERT_EQ(ioctl(slave_, FIONREAD, &queued), 0);
  EXPECT_EQ(queued, 0);
}

TEST_F(Recorded, PurgeReportsAFailedDrainRead) {
  SerialHandle port = OpenPort();
  PeerWrites("stale");
  AwaitQueued(5);
  // FIONREAD, then the drain read.
  g_script.failAt = 2;
  EXPECT_EQ(SerialPurgeInputWith(kRecording, port), 1);
  EXPECT_EQ(g_script.trace[1], "read");
  EXPECT_EQ(SerialSetReadTimeout(port, 100), 100);  // restored all the same
}

struct WriteCase {
  const char* what;
  std::vector<ssize_t> results;  // -2: EAGAIN, -1: EIO
  int32_t status;
  uint32_t written;  // 77: not touched
};

TEST_F(Recorded, WriteGoesOnUntilAllIsTakenOrReportsWhatWent) {
  fcntl(master_, F_SETFL, O_NONBLOCK);
  SerialHandle port = OpenPort();
  const WriteCase cases[] = {
      {"partial writes and a full queue", {3, -2, 2}, SerialOk, 10},
      {"fails at once", {-1}, SerialIoFailed, 77},
      {"fails after 4 bytes", {4, -1}, SerialShortWrite, 4},
      {"takes nothing", {0}, SerialShortWrite, 0},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(c.what);
    g_script = Script{};
    g_script.writeResults = c.results;
    uint32_t written = 77;
    EXPECT_EQ(SerialWriteWith(kRecording, port, "0123456789", 10, &written), c.status);
    EXPECT_EQ(written, c.written);
  }
}

// ---- opening ----

// The port given up by every command that gives it up, each followed by
// the next open of the same device, while another process's descriptor of
// the terminal (here the test's) keeps it alive. A mark left behind refuses
// that open to any user but root, and is seen directly on the other
// descriptor.
TEST_F(Pty, APortGivenUpOpensAgainAndLeavesNoExclusiveMark) {
  PortContext context{};
  ASSERT_LT(name_.size(), sizeof context.settings.portName);
  std::memcpy(context.settings.portName, name_.c_str(), name_.size() + 1);
  context.settings.line = k8N1;
  context.settings.handshake = kNoModemLines;
  ZorRequest request{&context, 13, 1, 0, nullptr};
  ReopenPortParams toNul{"NUL", 0, k8N1};
  ReopenPortParams back{};
  std::memcpy(back.portName, name_.c_str(), name_.size() + 1);
  back.line = k8N1;
  struct Step {
    const char* name;
    std::function<int32_t()> command;
    int marked;  // after the command
  };
  const Step steps[] = {
      {"OpenPort", [&] { return ::OpenPort(&request); }, 1},
      {"ClosePort", [&] { return ClosePort(&request); }, 0},
      {"OpenPort again", [&] { return ::OpenPort(&request); }, 1},
      {"Stop", [&] { return Stop(&request); }, 0},
      {"OpenPort after Stop", [&] { return ::OpenPort(&request); }, 1},
      {"ReopenPort to another device",
       [&] { return request.params = &toNul, ReopenPort(&request); }, 0},
      {"ReopenPort back", [&] { return request.params = &back, ReopenPort(&request); }, 1},
      {"ClosePort at the end", [&] { return ClosePort(&request); }, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(step.command(), 0);
    EXPECT_EQ(MarkedExclusive(slave_), step.marked);
  }
}

TEST_F(Pty, SecondOpenOfTheSameDeviceFailsEvenForRoot) {
  SerialHandle port = OpenPort();
  SerialHandle second = 0;
  EXPECT_EQ(SerialOpen(name_.c_str(), k8N1, kNoModemLines, &second), SerialCannotOpen);
  EXPECT_EQ(second, kSerialInvalidHandle);
  ASSERT_EQ(SerialClose(port), SerialOk);
  handle_ = 0;
  EXPECT_EQ(SerialClose(port), SerialIoFailed);  // already closed
  OpenPort();                                    // free again after the close
}

TEST(SerialOpen, NulIsASharedPortThatSwallowsWritesAndYieldsNothing) {
  SerialHandle first = 0, second = 0;
  ASSERT_EQ(SerialOpen("NUL", k8N1, kNoModemLines, &first), SerialOk);
  ASSERT_EQ(SerialOpen("NUL", LineSettings{14400, 9, 9, 9}, kNoModemLines, &second), SerialOk);
  EXPECT_GE(first, 3u);
  EXPECT_NE(first, second);
  uint32_t written = 0;
  EXPECT_EQ(SerialWrite(first, "frame", 5, &written), SerialOk);
  EXPECT_EQ(written, 5u);
  char byte;
  uint32_t received = 99;
  EXPECT_EQ(SerialRead(first, &byte, 1, &received), SerialIoFailed);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(SerialSetReadTimeout(first, 300), 0);
  EXPECT_EQ(SerialSetReadTimeout(first, 300), 0);
  EXPECT_EQ(SerialPurgeInput(first), 0);
  EXPECT_EQ(SerialSendBreak(1, first), 0);
  EXPECT_EQ(SerialClose(first), SerialOk);
  EXPECT_EQ(SerialClose(second), SerialOk);
}

TEST(SerialOpen, OnlyTheExactNameNulSelectsTheDummyPort) {
  SerialHandle handle = 0;
  EXPECT_EQ(SerialOpen("nul", k8N1, kNoModemLines, &handle), SerialCannotOpen);
  EXPECT_EQ(handle, kSerialInvalidHandle);
}

TEST(SerialOpen, MissingDeviceGives1) {
  const int before = OpenDescriptorCount();
  SerialHandle handle = 0;
  EXPECT_EQ(SerialOpen("/dev/zortw-no-such-port", k8N1, kNoModemLines, &handle), SerialCannotOpen);
  EXPECT_EQ(handle, kSerialInvalidHandle);
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(SerialOpen, NotATerminalGives4WithTheDescriptorClosed) {
  char path[] = "/tmp/zortw-not-a-port-XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  close(file);
  const int before = OpenDescriptorCount();
  for (const char* name : {static_cast<const char*>(path), "/dev/null"}) {
    SCOPED_TRACE(name);
    SerialHandle handle = 0;
    EXPECT_EQ(SerialOpen(name, k8N1, kNoModemLines, &handle), SerialNoLineState);
    EXPECT_NE(handle, kSerialInvalidHandle);
    EXPECT_EQ(PortDescriptor(handle), -1);
    EXPECT_EQ(OpenDescriptorCount(), before);
  }
  unlink(path);
}

TEST_F(Pty, DescriptorZeroIsNeverHandedOut) {
  const int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  SerialHandle port = 0, nul = 0;
  close(0);
  const int32_t portStatus = SerialOpen(name_.c_str(), k8N1, kNoModemLines, &port);
  const bool zeroAfterPort = fcntl(0, F_GETFD) != -1;
  const int32_t nulStatus = SerialOpen("NUL", k8N1, kNoModemLines, &nul);
  const bool zeroAfterNul = fcntl(0, F_GETFD) != -1;
  dup2(savedStdin, 0);
  close(savedStdin);
  handle_ = port;

  EXPECT_EQ(portStatus, SerialOk);
  EXPECT_GE(port, 3u);
  EXPECT_FALSE(zeroAfterPort);
  EXPECT_EQ(nulStatus, SerialOk);
  EXPECT_GE(nul, 3u);
  EXPECT_FALSE(zeroAfterNul);
  EXPECT_EQ(SerialClose(nul), SerialOk);
  EXPECT_EQ(SerialClose(0), SerialIoFailed);  // "no port" is never closed
}

TEST_F(Pty, BreakAndSleepReturn0) {
  SerialHandle port = OpenPort();
  EXPECT_EQ(SerialSendBreak(5, port), 0);
  EXPECT_EQ(SerialSleep(1), 0);
  EXPECT_EQ(SerialSendBreak(1, 0), 0);
}

// ---- the port table ----

TEST_F(Pty, SettingsChangedByOthersNeverChangeTheReadTimeOut) {
  SerialHandle port = OpenPort();
  SerialSetReadTimeout(port, 5);
  // Another descriptor of the terminal sets cooked, sane settings again and
  // again while the read waits; a read that never returns aborts the test.
  std::atomic<bool> reading{true};
  std::thread other([&] {
    while (reading.load()) tcsetattr(slave_, TCSANOW, &fresh_);
  });
  uint32_t received = 99;
  char byte;
  auto read = std::async(std::launch::async, [&] { return SerialRead(port, &byte, 1, &received); });
  if (read.wait_for(std::chrono::minutes(1)) != std::future_status::ready) std::abort();
  reading = false;
  other.join();
  EXPECT_EQ(read.get(), SerialIoFailed);
  EXPECT_EQ(received, 0u);
}

TEST_F(Recorded, HandlesTheLayerDidNotGiveOutReachNoFile) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const SerialHandle closed = OpenPort();
  ASSERT_EQ(SerialClose(closed), SerialOk);
  const SerialHandle port = OpenPort();  // the same slot, most likely
  g_script = Script{};
  for (SerialHandle handle : {0u, kSerialInvalidHandle, SerialHandle(ends[0]),
                              SerialHandle(ends[1]), SerialHandle(slave_), closed, port + 0x200u}) {
    SCOPED_TRACE(handle);
    char bytes[4] = {'a', 'b', 'c', 'd'};
    uint32_t count = 77;
    EXPECT_EQ(SerialWriteWith(kRecording, handle, bytes, 4, &count), SerialIoFailed);
    EXPECT_EQ(SerialReadWith(kRecording, handle, bytes, 4, &count), SerialIoFailed);
    EXPECT_EQ(SerialReadWith(kRecording, handle, bytes, 0, &count), SerialIoFailed);
    EXPECT_EQ(SerialPurgeInputWith(kRecording, handle), 1);
    EXPECT_EQ(SerialSetReadTimeoutWith(kRecording, handle, 30), 0);
    EXPECT_EQ(SerialCloseWith(kRecording, handle), SerialIoFailed);
  }
  EXPECT_TRUE(g_script.trace.empty());  // not one system call
  int queued = -1;
  ASSERT_EQ(ioctl(ends[0], FIONREAD, &queued), 0);
  EXPECT_EQ(queued, 0);
  EXPECT_TRUE(IsOpenDescriptor(ends[0]) && IsOpenDescriptor(ends[1]));
  EXPECT_EQ(SerialSetReadTimeout(port, 100), 100);  // the open port is untouched
  close(ends[0]);
  close(ends[1]);
}

TEST_F(Recorded, OneDeviceReadServesManyReadsAndSilenceEndsTheRest) {
  SerialHandle port = OpenPort();
  SerialSetReadTimeout(port, 3);
  PeerWrites(":0A;B");
  AwaitQueued(5);
  char got[8] = {};
  for (int i = 0; i < 3; ++i) ASSERT_EQ(SerialReadWith(kRecording, port, got + i, 1, nullptr), 0);
  EXPECT_EQ(std::string(got, 3), ":0A");
  EXPECT_EQ(g_script.delivered, std::vector<ssize_t>{5});
  EXPECT_EQ(Count("read") + Count("tcgetattr"), 1u);
  // Two bytes are left in the buffer, then the line stays quiet.
  uint32_t received = 99;
  EXPECT_EQ(SerialReadWith(kRecording, port, got, 8, &received), SerialIoFailed);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(std::string(got, 2), ";B");
}

TEST_F(Pty, PurgeEmptiesBufferAndDeviceAndCloseRestoresTheSettings) {
  SerialHandle port = OpenPort();
  SerialSetReadTimeout(port, 3);
  PeerWrites("stale");
  AwaitQueued(5);
  char byte = 0;
  ASSERT_EQ(SerialRead(port, &byte, 1, nullptr), SerialOk);  // four bytes stay buffered
  PeerWrites("later");
  AwaitQueued(5);
  EXPECT_EQ(SerialPurgeInput(port), 0);
  int queued = -1;
  ASSERT_EQ(ioctl(slave_, FIONREAD, &queued), 0);
  EXPECT_EQ(queued, 0);
  EXPECT_EQ(SerialRead(port, &byte, 1, nullptr), SerialIoFailed);

  ASSERT_EQ(SerialClose(port), SerialOk);
  handle_ = 0;
  termios after{};
  ASSERT_EQ(tcgetattr(slave_, &after), 0);
  EXPECT_EQ(after.c_lflag, fresh_.c_lflag);
  EXPECT_EQ(after.c_iflag, fresh_.c_iflag);
  EXPECT_EQ(after.c_oflag, fresh_.c_oflag);
  EXPECT_EQ(std::memcmp(after.c_cc, fresh_.c_cc, sizeof after.c_cc), 0);
}

TEST(PortTable, ThreadsOpenAndCloseConcurrentlyUpToTheTablesSize) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&] {
      int master = -1, slave = -1;
      char name[128] = {};
      if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return void(++failures);
      for (int round = 0; round < 40; ++round) {
        SerialHandle port = 0, nul = 0;
        const bool ok = SerialOpen(name, k8N1, kNoModemLines, &port) == SerialOk &&
                        SerialOpen("NUL", k8N1, kNoModemLines, &nul) == SerialOk && port != nul &&
                        SerialWrite(port, "t", 1, nullptr) == SerialOk &&
                        ReadWithin(master, 1, std::chrono::seconds(5)) == "t" &&
                        SerialClose(nul) == SerialOk && SerialClose(port) == SerialOk &&
                        SerialWrite(port, "t", 1, nullptr) == SerialIoFailed;
        failures += ok ? 0 : 1;
      }
      close(slave);
      close(master);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);

  // One open beyond the table fails like a missing device.
  std::vector<SerialHandle> open(1);
  while (open.size() < 4096 && SerialOpen("NUL", k8N1, kNoModemLines, &open.back()) == SerialOk) {
    open.push_back(0);
  }
  EXPECT_EQ(open.size(), 257u);
  EXPECT_EQ(open.back(), kSerialInvalidHandle);
  for (size_t i = 0; i + 1 < open.size(); ++i) EXPECT_EQ(SerialClose(open[i]), SerialOk);
}

TEST(SerialOpen, ANameWithoutSlashIsADeviceInDev) {
  SerialHandle handle = 0;
  // /dev/null opens but has no line state: 4, not the 1 of a missing file.
  EXPECT_EQ(SerialOpen("null", k8N1, kNoModemLines, &handle), SerialNoLineState);
  EXPECT_EQ(SerialOpen("zortw-no-such-port", k8N1, kNoModemLines, &handle), SerialCannotOpen);
}

// OpenPort and ReopenPort close the handle the context held before; with a
// context the host did not zero-fill, that is a host's descriptor, which
// stays open.
TEST(PortCommands, NeverCloseAFileTheLayerDidNotOpen) {
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  for (auto* command : {OpenPort, ReopenPort}) {
    PortContext context;
    std::memset(&context, 0xA5, sizeof context);
    context.portHandle = static_cast<uint32_t>(ends[1]);
    std::strcpy(context.settings.portName, "NUL");
    ReopenPortParams params{"NUL", 0, k8N1};
    ZorRequest request{&context, 13, 1, 0, &params};
    EXPECT_EQ(command(&request), 0);
    EXPECT_TRUE(IsOpenDescriptor(ends[1]));
    EXPECT_EQ(SerialClose(context.portHandle), SerialOk);
  }
  close(ends[0]);
  close(ends[1]);
}

}  // namespace

namespace {

// Writes that the line does not take: flow control switched on by another
// program and an XOFF from the peer, output suspended with tcflow, a peer
// that stops reading. Each write fails within its bound instead of holding
// the caller's thread, and what it could not send is never sent later.
TEST_F(Pty, WritesTheLineDoesNotTakeFailInsteadOfBlocking) {
  struct Case {
    const char* name;
    std::function<std::string()> stall;  // the probes it sent
    std::function<void()> release;
  };
  const Case cases[] = {
      {"XOFF after another program set ixon",
       [this] {
         termios attributes{};
         EXPECT_EQ(tcgetattr(slave_, &attributes), 0);
         attributes.c_iflag |= IXON;
         EXPECT_EQ(tcsetattr(slave_, TCSANOW, &attributes), 0);
         PeerWrites("\x13");
         return AwaitStopped();
       },
       [this] { PeerWrites("\x11"); }},
      {"output suspended with tcflow",
       [this] {
         EXPECT_EQ(tcflow(slave_, TCOOFF), 0);
         return std::string();
       },
       [this] { ASSERT_EQ(tcflow(slave_, TCOON), 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SerialHandle handle = OpenPort();
    const std::string probes = c.stall();
    const std::string frame(600, 'W');
    uint32_t written = 0;
    EXPECT_NE(SerialWrite(handle, frame.data(), 600, &written), SerialOk);
    c.release();
    EXPECT_EQ(SerialWrite(handle, ":OK;", 4, nullptr), SerialOk);
    // Nothing of the failed write went out, then or later.
    EXPECT_EQ(PeerReads(probes.size() + 4), probes + ":OK;");
    SerialClose(handle);
    handle_ = 0;
  }
}

TEST_F(Pty, AWriteToAPeerThatStopsReadingFails) {
  const SerialHandle handle = OpenPort();
  const std::string frame(589, 'W');
  int32_t status = SerialOk;
  for (int frames = 0; frames < 1000 && status == SerialOk; ++frames) {
    status = SerialWrite(handle, frame.data(), 589, nullptr);
  }
  EXPECT_NE(status, SerialOk);
}

// The other end goes away while a read waits: the read fails at once, it
// does not spin on the hung-up terminal until its time-out.
TEST_F(Pty, AReadFailsAtOnceWhenTheTerminalHangsUp) {
  const SerialHandle handle = OpenPort();
  ASSERT_EQ(SerialSetReadTimeout(handle, 300), 100);  // 3 s
  close(master_);
  master_ = -1;
  const uint64_t calls = serial_posix::SystemCallCount();
  char bytes[4] = {};
  uint32_t received = 0;
  EXPECT_EQ(SerialRead(handle, bytes, 4, &received), SerialIoFailed);
  EXPECT_EQ(received, 0u);
  EXPECT_LT(serial_posix::SystemCallCount() - calls, 12u);
}

}  // namespace

namespace {

// A peer that trickles one byte every 900 ms, each just inside the 1 s read
// time-out, on a clock of the test's own: no wait is real.
struct Trickle {
  int64_t nowMs = 0;
  int64_t nextByteMs = 900;
  int delivered = 0;
} g_trickle;

const PosixCalls kTrickling = [] {
  PosixCalls calls = kPosixCalls;
  calls.sysRead = [](int, void* buffer, size_t) -> ssize_t {
    if (g_trickle.nowMs < g_trickle.nextByteMs) return 0;  // raw terminal, nothing waiting
    static_cast<char*>(buffer)[0] = 'x';
    g_trickle.nextByteMs = g_trickle.nowMs + 900;
    ++g_trickle.delivered;
    return 1;
  };
  calls.sysPoll = [](pollfd* fds, nfds_t, int timeoutMs) {
    const int64_t until = g_trickle.nowMs + timeoutMs;
    g_trickle.nowMs = until < g_trickle.nextByteMs ? until : g_trickle.nextByteMs;
    fds[0].revents = g_trickle.nowMs >= g_trickle.nextByteMs ? POLLIN : 0;
    return fds[0].revents != 0 ? 1 : 0;
  };
  calls.sysClockGettime = [](clockid_t, timespec* now) {
    now->tv_sec = static_cast<time_t>(g_trickle.nowMs / 1000);
    now->tv_nsec = static_cast<long>(g_trickle.nowMs % 1000) * 1000000L;
    return 0;
  };
  calls.sysNanosleep = [](const timespec* request, timespec*) {
    g_trickle.nowMs += request->tv_sec * 1000 + request->tv_nsec / 1000000;
    return 0;
  };
  return calls;
}();

// Each byte inside the time-out no longer stretches a reception: it ends at
// its bound, the reply time-out and the line time of the longest reply.
TEST_F(Pty, ATricklingLineCannotStretchAReceptionPastItsBound) {
  SerialHandle handle = 0;
  ASSERT_EQ(SerialOpenWith(kPosixCalls, name_.c_str(), k8N1, kNoModemLines, &handle), SerialOk);
  handle_ = handle;
  g_trickle = Trickle{};
  ASSERT_EQ(SerialLimitReception(handle, 1, 592), 0);  // 1000 ms + 592 characters at 9600 baud
  char byte = 0;
  int bytes = 0;
  while (SerialReadWith(kTrickling, handle, &byte, 1, nullptr) == SerialOk) ++bytes;
  EXPECT_EQ(bytes, 1);  // at 900 ms; the next would come at 1800 ms
  EXPECT_LE(g_trickle.nowMs, 1000 + 592 * LineCharacterMicros(k8N1) / 1000 + 1);
  EXPECT_TRUE(SerialReceptionOverWith(kTrickling, handle));
}

}  // namespace

namespace {

// Somebody closed the port's descriptor under the driver: the close fails
// (EBADF) and the layer lets the port go. The context keeps no handle the
// layer no longer knows, so the next ClosePort and Stop succeed.
TEST_F(Pty, AHandleTheLayerGaveUpIsNotKeptInTheContext) {
  PortContext context{};
  context.portHandle = OpenPort();
  handle_ = 0;
  ASSERT_EQ(close(PortDescriptor(context.portHandle)), 0);
  ZorRequest request{&context, 12, 1, 0, nullptr};
  EXPECT_EQ(ClosePort(&request), 2);
  EXPECT_EQ(context.portHandle, 0u);
  EXPECT_EQ(ClosePort(&request), 0);
  EXPECT_EQ(Stop(&request), 0);
}

}  // namespace
