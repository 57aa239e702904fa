// Starts the real tiway-sim on a pseudo-terminal and talks to it over the
// line and the control socket. Every wait has a deadline.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_text.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Reads from fd until `done` says so or the deadline passes.
template <typename Done>
std::string ReadUntil(int fd, Done done, std::chrono::milliseconds limit = 5000ms) {
  std::string text;
  const auto deadline = Clock::now() + limit;
  while (!done(text) && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char c;
    if (read(fd, &c, 1) == 1) text += c;
  }
  return text;
}

std::string ReadFrame(int fd) {
  return ReadUntil(fd, [](const std::string& t) { return !t.empty() && t.back() == ';'; });
}

class SimProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tiway-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    link_ = dir_ + "/line";
    control_ = dir_ + "/control";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {TIWAY_SIM_PATH,      "--link", link_,
                                     "--control",         control_, "--configured",
                                     "--exit-after-idle", "30"};
    args.insert(args.end(), extra_.begin(), extra_.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ASSERT_EQ(posix_spawn(&pid_, TIWAY_SIM_PATH, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
    const std::string first =
        ReadUntil(stdout_, [](const std::string& t) { return !t.empty() && t.back() == '\n'; });
    ASSERT_EQ(first.rfind("tiway-sim: listening on /dev/pts/", 0), 0u) << first;
    OpenLine();
  }

  // Opens the line as the driver does: raw, 19200 baud, 7 data bits, odd
  // parity (a pty keeps 8 bits and no parity, but must not refuse the request).
  void OpenLine() {
    line_ = open(link_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(line_, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(line_, &settings), 0);
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    settings.c_cflag |= CS7 | PARENB | PARODD | CLOCAL | CREAD;
    cfsetspeed(&settings, B19200);
    ASSERT_EQ(tcsetattr(line_, TCSANOW, &settings), 0) << std::strerror(errno);
  }

  // Closes the line and waits (bounded) until the simulator has seen it.
  void CloseLine() {
    close(line_);
    line_ = -1;
    const auto deadline = Clock::now() + 5s;
    while (Control("line") != "ok closed" && Clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(Control("line"), "ok closed");
  }

  void TearDown() override {
    if (line_ >= 0) close(line_);
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0 && !stopped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(link_.c_str());
    unlink(control_.c_str());
    rmdir(dir_.c_str());
  }

  std::string Exchange(const std::string& bytes) {
    EXPECT_EQ(write(line_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    return ReadFrame(line_);
  }

  std::string Control(const std::string& command) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, control_.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return "connect failed";
    }
    const std::string text = command + "\n";
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    std::string answer =
        ReadUntil(fd, [](const std::string& t) { return !t.empty() && t.back() == '\n'; });
    close(fd);
    if (!answer.empty()) answer.pop_back();
    return answer;
  }

  // SIGTERM, then wait (bounded) for a clean exit.
  int Stop() {
    kill(pid_, SIGTERM);
    int status = -1;
    const auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        stopped_ = true;
        return status;
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }

  std::vector<std::string> extra_;  // more arguments for the simulator
  std::string dir_, link_, control_;
  pid_t pid_ = -1;
  int stdout_ = -1;
  int line_ = -1;
  bool stopped_ = false;
};

TEST_F(SimProcess, AnswersFramesOnThePtyAndServesControlCommands) {
  EXPECT_EQ(Exchange("xx:000C12EDF4;"), tiway_sim::EncodeFrame("12"
                                                               "0001"
                                                               "0000"
                                                               "01"));
  EXPECT_EQ(Exchange(":000E0405FBED;"), ":000E0405FBED;");
  EXPECT_EQ(Control("set 05 V 0064 = 1 2 3 ABCD"), "ok");
  EXPECT_EQ(Exchange(":001E01050006200100040064DE6E;"), tiway_sim::EncodeFrame("0105000A"
                                                                               "2000"
                                                                               "000100020003ABCD"));
  EXPECT_EQ(Exchange(":001E01050006300100641234BC3E;"), tiway_sim::EncodeFrame("01050002"
                                                                               "3000"));
  EXPECT_EQ(Control("dump 05 V 0064 2"), "ok 1234 0002");

  EXPECT_EQ(Control("fault stray2 1"), "ok stray2 for 1 request(s)");
  EXPECT_EQ(Exchange(":000C06F9F4;"), "**" + tiway_sim::EncodeFrame("0605"));
  EXPECT_EQ(Control("line"), "ok open");

  // A second user of the line opens it with the same settings.
  CloseLine();
  OpenLine();
  EXPECT_EQ(Exchange(":000C06F9F4;"), tiway_sim::EncodeFrame("0605"));

  // Kept off the CPU for 300 ms while the line is open (the stall staged
  // here, not a wait for anything), with a request waiting: the lag counter
  // says at least that long, and the request is still answered.
  EXPECT_EQ(Control("stats reset"), "ok");
  ASSERT_EQ(kill(pid_, SIGSTOP), 0);
  EXPECT_EQ(write(line_, ":000C06F9F4;", 12), 12);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(kill(pid_, SIGCONT), 0);
  EXPECT_EQ(ReadFrame(line_), tiway_sim::EncodeFrame("0605"));
  const std::string stats = Control("stats");
  const std::size_t lag = stats.find(" lag=");
  ASSERT_NE(lag, std::string::npos) << stats;
  EXPECT_GE(std::stol(stats.substr(lag + 5)), 300) << stats;

  const int status = Stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat info {};
  EXPECT_NE(lstat(link_.c_str(), &info), 0);     // the symlink is gone
  EXPECT_NE(lstat(control_.c_str(), &info), 0);  // and the control socket
}

// Paced at 19200 baud with 10 bits a character, both ways: a request is
// acted on once its last character would have arrived, and the reply's
// characters follow one character time apart. So the first reply character
// cannot come before the request's line time and one character more, and the
// exchange cannot end before the line time of both frames. Lower bounds only.
class PacedSimProcess : public SimProcess {
 protected:
  PacedSimProcess() { extra_ = {"--baud", "19200"}; }
};

TEST_F(PacedSimProcess, BlockExchangesNeverBeatTheLineTime) {
  ASSERT_EQ(Exchange(":000E0405FBED;"), ":000E0405FBED;");  // connect station 05
  std::string words;
  for (uint32_t k = 0; k < 62; ++k) words += tiway_sim::Hex(k * 0x0101, 4);
  const struct {
    std::string request, reply;
  } exchanges[] = {
      {tiway_sim::EncodeFrame("01050080"
                              "30010064" +
                              words),
       tiway_sim::EncodeFrame("01050002"
                              "3000")},
      {tiway_sim::EncodeFrame("01050006"
                              "2001003E0064"),
       tiway_sim::EncodeFrame("0105007E"
                              "2000" +
                              words)},
  };
  // The line time of n characters, in whole microseconds, rounded down.
  auto lineTime = [](std::size_t n) { return std::chrono::microseconds(n * 10'000'000 / 19200); };
  for (const auto& exchange : exchanges) {
    SCOPED_TRACE(exchange.request);
    const auto start = Clock::now();
    ASSERT_EQ(write(line_, exchange.request.data(), exchange.request.size()),
              static_cast<ssize_t>(exchange.request.size()));
    std::string reply;
    Clock::time_point first{};
    const auto deadline = start + 10s;
    while ((reply.empty() || reply.back() != ';') && Clock::now() < deadline) {
      pollfd p{line_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char c;
      if (read(line_, &c, 1) != 1) continue;
      if (reply.empty()) first = Clock::now();
      reply += c;
    }
    const auto end = Clock::now();
    ASSERT_EQ(reply, exchange.reply);
    EXPECT_GE(first - start, lineTime(exchange.request.size() + 1));
    EXPECT_GE(end - start, lineTime(exchange.request.size() + exchange.reply.size()));
  }
  EXPECT_EQ(Control("dump 05 V 0065 2"), "ok 0101 0202");
}

// At 1200 baud a character takes 8.33 ms: a request of 30 characters is
// 250 ms on its way in, long enough to be seen pending.
class SlowSimProcess : public SimProcess {
 protected:
  SlowSimProcess() { extra_ = {"--baud", "1200"}; }
};

TEST_F(SlowSimProcess, RequestsOnTheirWayArePendingAndQueuedRepliesFollowWhole) {
  ASSERT_EQ(Exchange(":000E0405FBED;"), ":000E0405FBED;");  // connect station 05
  EXPECT_EQ(Control("pending"), "ok 0 0");
  // A write is carried out only once its last character has arrived; until
  // then "pending" names it and the milliseconds left.
  const std::string write = tiway_sim::EncodeFrame(
      "01050006"
      "300100641234");
  ASSERT_EQ(::write(line_, write.data(), write.size()), static_cast<ssize_t>(write.size()));
  const std::string pending = Control("pending");
  EXPECT_EQ(pending.rfind("ok 1 ", 0), 0u) << pending;
  EXPECT_LE(std::stol(pending.substr(5)), 250);
  const auto deadline = Clock::now() + 5s;
  while (Control("pending") != "ok 0 0" && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(Control("dump 05 V 0064"), "ok 1234");
  EXPECT_EQ(ReadFrame(line_), tiway_sim::EncodeFrame("01050002"
                                                     "3000"));

  // Two requests back to back, the first one's reply late: the second reply
  // starts only once the first has left the line whole.
  ASSERT_EQ(Control("fault delay=100 1"), "ok delay=100 for 1 request(s)");
  const std::string list = ":000C06F9F4;", listReply = tiway_sim::EncodeFrame("0605");
  const std::string both = list + list;
  ASSERT_EQ(::write(line_, both.data(), both.size()), static_cast<ssize_t>(both.size()));
  std::string replies;
  Clock::time_point first{};
  const auto end = Clock::now() + 10s;
  while (replies.size() < 2 * listReply.size() && Clock::now() < end) {
    pollfd p{line_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char c;
    if (read(line_, &c, 1) != 1) continue;
    if (replies.empty()) first = Clock::now();
    replies += c;
  }
  EXPECT_EQ(replies, listReply + listReply);
  // From the first character's arrival to the last: the 27 others one
  // character time apart (8333 us at 1200 baud; one spared for the reader's
  // wake-ups), never in a burst (which would take 14 character times).
  EXPECT_GE(Clock::now() - first, std::chrono::microseconds((2 * listReply.size() - 2) * 8333));
}

}  // namespace
