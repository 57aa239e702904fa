// The cost of receiving replies through the termios backend: NITP
// transactions (purge, request frame, a 62-word read reply received one byte
// per SerialRead, settle pause) over pseudo-terminals against a peer thread
// that answers every request at once or paced at a line rate.
//
//   serial_bench [--transactions N] [--lines L] [--baud B] [--seconds S]
//
// One line, unpaced (the default): system calls, CPU time of the driver's
// thread and wall time per transaction. With --lines, L lines at once, each
// driver thread with a paced peer (default 19200 baud) for S seconds: the
// driver threads' CPU time as a share of one core, and wall time per
// transaction. System calls are the backend's own count (every call through
// its call table); `strace -f -c` gives the same figure for older builds.
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/records.h"
#include "nitp/frame.h"
#include "nitp/transact.h"
#include "serial/posix/serial_posix.h"
#include "serial/serial.h"

namespace {

// How long the paced peers took to send their replies, for telling the
// peers' pacing from the driver's reception.
std::atomic<double> g_pacedMs{0};
std::atomic<int> g_pacedReplies{0};

double ThreadCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec * 1e3 + usage.ru_utime.tv_usec / 1e3 + usage.ru_stime.tv_sec * 1e3 +
         usage.ru_stime.tv_usec / 1e3;
}

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A read reply carrying 62 words: message code 01, primitive done, data.
std::string Reply62Words() {
  std::string body =
      "0105"
      "00FE"
      "20"
      "00";
  for (int i = 0; i < 62; ++i) body += "1A2B";
  char reply[kFrameBufferSize] = {};
  std::memcpy(reply, body.data(), body.size());
  ComposeFrame(nullptr, reply, PlainFrame);
  return reply;
}

// The peer on the master side: reads a request up to its ';' and answers,
// at once or one character every charUs microseconds.
void Peer(int master, const std::string& reply, unsigned charUs, const std::atomic<bool>& stop,
          std::atomic<double>* lastByteMs) {
  char buffer[1024];
  while (!stop.load()) {
    pollfd watch = {master, POLLIN, 0};
    if (poll(&watch, 1, 100) <= 0) continue;
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) continue;
    if (std::memchr(buffer, ';', static_cast<size_t>(n)) == nullptr) continue;
    if (charUs == 0) {
      if (write(master, reply.data(), reply.size()) < 0) return;
      lastByteMs->store(NowMs());
      continue;
    }
    const double first = NowMs();
    for (size_t i = 0; i < reply.size(); ++i) {
      if (write(master, &reply[i], 1) < 0) return;
      if (i + 1 == reply.size()) {
        lastByteMs->store(NowMs());
        g_pacedMs.fetch_add(NowMs() - first);
        g_pacedReplies.fetch_add(1);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(charUs));
    }
  }
}

struct Line {
  int master = -1;
  int slave = -1;
  SerialHandle handle = 0;
  PortContext context{};
  std::atomic<double> lastByteMs{0};  // when the peer wrote a reply's last byte
};

bool OpenLine(Line& line) {
  char name[128] = {};
  if (openpty(&line.master, &line.slave, name, nullptr, nullptr) != 0) return false;
  termios raw{};
  tcgetattr(line.master, &raw);
  cfmakeraw(&raw);
  tcsetattr(line.master, TCSANOW, &raw);
  if (SerialOpen(name, LineSettings{19200, 8, 0, 0}, 0x0008, &line.handle) != SerialOk) {
    return false;
  }
  SerialSetReadTimeout(line.handle, 100);
  line.context.portHandle = line.handle;
  line.context.readTimeout = 100;
  return true;
}

std::string ReadFrame62() {
  uint16_t data[63] = {};
  BlockRequest request{};
  request.address = PointAddress{5, 'V', 0x64, kWholeElement, 16};
  request.elementCount = 62;
  request.data = data;
  char frame[kFrameBufferSize] = {};
  ComposeFrame(&request, frame, ReadFrame);
  return frame;
}

struct Totals {
  int transactions = 0;
  int failures = 0;
  double tailMs = 0;  // from the reply's last byte to the transaction's end, less the pause
  double cpuMs = 0;
  double wallMs = 0;
};

void RunTransactions(Line& line, const std::string& frame, int count, double untilMs,
                     Totals& totals) {
  const ZorRequest request{&line.context, 5, 1, 0, nullptr};
  char reply[kFrameBufferSize] = {};
  const double cpu0 = ThreadCpuMs();
  const double wall0 = NowMs();
  for (int i = 0; (count > 0 && i < count) || (count == 0 && NowMs() < untilMs); ++i) {
    if (Transact(request, frame.c_str(), reply) != 0 || CheckReply(request, reply) != 0) {
      ++totals.failures;
    }
    totals.tailMs += NowMs() - line.lastByteMs.load() - 50;
    ++totals.transactions;
  }
  totals.cpuMs = ThreadCpuMs() - cpu0;
  totals.wallMs = NowMs() - wall0;
}

}  // namespace

int main(int argc, char** argv) {
  int transactions = 200;
  int lines = 0;
  unsigned baud = 19200;
  double seconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--transactions")
      transactions = std::atoi(argv[i + 1]);
    else if (option == "--lines")
      lines = std::atoi(argv[i + 1]);
    else if (option == "--baud")
      baud = static_cast<unsigned>(std::atoi(argv[i + 1]));
    else if (option == "--seconds")
      seconds = std::atof(argv[i + 1]);
    else {
      std::fprintf(stderr, "usage: %s [--transactions N] [--lines L] [--baud B] [--seconds S]\n",
                   argv[0]);
      return 2;
    }
  }
  const std::string reply = Reply62Words();
  const std::string frame = ReadFrame62();
  std::atomic<bool> stop{false};

  if (lines == 0) {
    Line line;
    if (!OpenLine(line)) return std::perror("open"), 1;
    std::thread peer(Peer, line.master, reply, 0u, std::cref(stop), &line.lastByteMs);
    Totals warm;
    RunTransactions(line, frame, 5, 0, warm);
    const uint64_t calls0 = serial_posix::SystemCallCount();
    Totals totals;
    RunTransactions(line, frame, transactions, 0, totals);
    const uint64_t calls = serial_posix::SystemCallCount() - calls0;
    stop = true;
    peer.join();
    std::printf("unpaced, 1 line, %d transactions of %zu-character replies, %d failed\n",
                totals.transactions, reply.size(), totals.failures);
    std::printf("  system calls per transaction: %.1f\n",
                static_cast<double>(calls) / totals.transactions);
    // Every transaction ends with a 50 ms settle pause; what waking from it
    // costs is the scheduler's, not the serial layer's.
    const double cpu0 = ThreadCpuMs();
    for (int i = 0; i < 20; ++i) SerialSleep(50);
    const double pauseMs = (ThreadCpuMs() - cpu0) / 20;
    const double perTransaction = totals.cpuMs / totals.transactions;
    std::printf(
        "  driver CPU per transaction:   %.4f ms (%.4f ms without the settle pause,\n"
        "                                which costs %.4f ms on its own)\n",
        perTransaction, perTransaction - pauseMs, pauseMs);
    std::printf("  wall time per transaction:    %.2f ms\n", totals.wallMs / totals.transactions);
    std::printf("  reply's last byte to the end: %.2f ms beyond the pause\n",
                totals.tailMs / totals.transactions);
    return 0;
  }

  const unsigned charUs = baud == 0 ? 0 : 10'000'000u / baud;  // 10 bits a character
  std::vector<Line> all(static_cast<size_t>(lines));
  for (Line& line : all) {
    if (!OpenLine(line)) return std::perror("open"), 1;
  }
  std::vector<std::thread> peers;
  std::vector<std::thread> drivers;
  std::vector<Totals> totals(all.size());
  for (Line& line : all) {
    peers.emplace_back(Peer, line.master, reply, charUs, std::cref(stop), &line.lastByteMs);
  }
  const double until = NowMs() + seconds * 1000;
  const uint64_t calls0 = serial_posix::SystemCallCount();
  for (size_t i = 0; i < all.size(); ++i) {
    drivers.emplace_back([&, i] { RunTransactions(all[i], frame, 0, until, totals[i]); });
  }
  for (std::thread& t : drivers) t.join();
  const uint64_t calls = serial_posix::SystemCallCount() - calls0;
  stop = true;
  for (std::thread& t : peers) t.join();
  Totals sum;
  for (const Totals& t : totals) {
    sum.transactions += t.transactions;
    sum.failures += t.failures;
    sum.cpuMs += t.cpuMs;
    sum.wallMs += t.wallMs;
    sum.tailMs += t.tailMs;
  }
  std::printf("%d lines paced at %u baud for %.0f s: %d transactions, %d failed\n", lines, baud,
              seconds, sum.transactions, sum.failures);
  std::printf("  driver threads' CPU:          %.2f %% of a core\n",
              100.0 * sum.cpuMs / (seconds * 1000));
  std::printf("  system calls per transaction: %.1f\n",
              static_cast<double>(calls) / sum.transactions);
  std::printf("  driver CPU per transaction:   %.4f ms\n", sum.cpuMs / sum.transactions);
  std::printf("  wall time per transaction:    %.2f ms\n", sum.wallMs / sum.transactions);
  std::printf("  reply's last byte to the end: %.2f ms beyond the pause\n",
              sum.tailMs / sum.transactions);
  std::printf("  peers' time to send a reply:  %.2f ms\n",
              g_pacedMs.load() / g_pacedReplies.load());
  for (Line& line : all) SerialClose(line.handle);
  return 0;
}
