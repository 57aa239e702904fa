// tiway as an integrator runs it: the real binary, the real driver beside
// it, the real simulator on a pseudo-terminal. What tiway says about each
// reply must be what the driver decided; an interrupt must never let a
// request out; a port that does not open must name its cause.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/log_lines.h"
#include "host/port_diagnosis.h"
#include "tests/e2e/sim_process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// tiway as a child process, its stdout and stderr in a file.
class Tiway {
 public:
  explicit Tiway(std::vector<std::string> args) {
    char name[] = "/tmp/tiway-out-XXXXXX";
    const int fd = mkstemp(name);
    close(fd);
    output_ = name;
    args.insert(args.begin(), TIWAY_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, TIWAY_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Tiway() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(output_.c_str());
  }
  void Signal(int signal) const { kill(pid_, signal); }
  // The exit code, or -1 when it did not end within the limit.
  int Wait(std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  std::string Output() const {
    std::ifstream file(output_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

 private:
  pid_t pid_ = -1;
  std::string output_;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

constexpr const char* kData = "05 V 0064 = 0017 2710\n05 V 0070 = 1234\n";

TEST(TiwayOnTheSimulator, TheTraceVerdictIsTheDriversOnEveryFaultMode) {
  e2e::SimProcess sim;
  ASSERT_EQ(sim.Start(TIWAY_SIM_PATH, kData, {"--configured", "--stations", "5"}), "");
  struct Case {
    const char* fault;    // spoils all three attempts of the read
    int32_t status;       // what the driver returns
    const char* timeout;  // the reply time-out, tens of ms
  };
  // A reply that comes at once gets 3 s, more than a loaded machine keeps
  // the simulator from the line, so that no attempt meets the reply to an
  // earlier one; one that never comes whole, tiway's 1 s; the slow reply
  // arrives 900 ms within it.
  const Case cases[] = {
      {"silence", 2, "100"},
      {"bad-checksum", 65535, "300"},
      {"stray3", 2, "300"},
      {"stray2", 0, "300"},
      {"cut", 2, "100"},
      {"no-end", 2, "100"},
      {"short-data", 65535, "300"},
      {"lower-case", 65535, "300"},
      {"primitive-error=0101", 257, "300"},
      {"primitive-error=0BAD", 0x0BAD, "300"},
      {"delay=100", 0, "100"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_EQ(sim.Control("clear").rfind("ok", 0), 0u);
    ASSERT_EQ(sim.Control("fault " + std::string(c.fault) + "@read 3").rfind("ok", 0), 0u);
    Tiway tiway(
        {"--port", sim.Port(), "--timeout", c.timeout, "--json", "--trace", "read", "05V0064:2"});
    ASSERT_GE(tiway.Wait(120s), 0);
    nlohmann::json read;
    std::istringstream lines(tiway.Output());
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] != '{') continue;
      nlohmann::json j = nlohmann::json::parse(line);
      if (j["operation"] == "read") read = j;
    }
    ASSERT_TRUE(read.is_object()) << tiway.Output();
    EXPECT_EQ(read["status"], c.status) << read.dump();
    ASSERT_EQ(read["frames"].size(), 1u);
    const nlohmann::json& frame = read["frames"][0];
    // The verdict shown for the reply is the driver's status...
    EXPECT_EQ(frame["replyStatus"], read["status"]) << read.dump();
    // ... and its wording is the line the driver logged for it.
    std::string lastCheckLine;
    for (const std::string line : read["log"]) {
      if (zortw_host::IsReplyRefusal(zortw_host::ParseLogLine(line).event)) lastCheckLine = line;
    }
    EXPECT_EQ(frame["logLine"], c.status != 0 ? lastCheckLine : std::string()) << read.dump();
  }
}

TEST(TiwayOnTheSimulator, ALineSlowerThanBaudSaysIsNamedAndTheAdviceWorks) {
  // The line runs at 1200 baud, tiway assumes its default 19200: a 62-word
  // read's reply (2.5 s on the line) outlasts the 1 s time-out, and what
  // ends the reception is the tail of an earlier attempt's reply.
  e2e::SimProcess sim;
  ASSERT_EQ(sim.Start(TIWAY_SIM_PATH, kData, {"--configured", "--stations", "5", "--baud", "1200"}),
            "");
  Tiway wrong({"--port", sim.Port(), "read", "05V0064:62"});
  ASSERT_EQ(wrong.Wait(120s), 5) << wrong.Output();
  const std::string advice = wrong.Output();
  EXPECT_NE(advice.find("fits a slower line"), std::string::npos) << advice;
  EXPECT_NE(advice.find("--baud"), std::string::npos) << advice;
  EXPECT_NE(advice.find("--timeout 600"), std::string::npos) << advice;
  EXPECT_EQ(advice.find("stray bytes end it"), std::string::npos) << advice;
  Tiway right({"--port", sim.Port(), "--baud", "1200", "--timeout", "600", "read", "05V0064:62"});
  EXPECT_EQ(right.Wait(120s), 0) << right.Output();
}

// Runs of tiway one after another on one port, as a script or an operator
// makes them: each opens the port the previous one gave up, while the
// simulator keeps the terminal alive. An exclusive mark left behind would
// refuse every run after the first to all but root; the test opens the
// port itself after each run (refused then when it runs unprivileged) and
// asks for the mark (which root sees too).
TEST(TiwayOnTheSimulator, RunsOneAfterAnotherAllOpenThePort) {
  e2e::SimProcess sim;
  ASSERT_EQ(sim.Start(TIWAY_SIM_PATH, kData, {"--configured", "--stations", "5"}), "");
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE(run);
    Tiway tiway({"--port", sim.Port(), "read", "05V0064"});
    ASSERT_EQ(tiway.Wait(60s), 0) << tiway.Output();
    EXPECT_NE(tiway.Output().find("0x0017"), std::string::npos) << tiway.Output();
    const int fd = open(sim.Port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    int marked = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &marked), 0);
    EXPECT_EQ(marked, 0);
    close(fd);
  }
}

TEST(TiwayOnTheSimulator, AnInterruptNeverLetsTheWriteOut) {
  e2e::SimProcess sim;
  ASSERT_EQ(sim.Start(TIWAY_SIM_PATH, kData, {"--stations", "5"}), "");
  {
    // During the start-up (the ten-second adapter configuration).
    Tiway tiway({"--port", sim.Port(), "write", "05V0070", "777"});
    ASSERT_TRUE(WaitFor([&] { return sim.Trace().find(" <- :") != std::string::npos; }, 30s))
        << sim.Trace();
    tiway.Signal(SIGINT);
    EXPECT_EQ(tiway.Wait(60s), 130) << tiway.Output();
    EXPECT_NE(tiway.Output().find("interrupted during start-up: nothing written"),
              std::string::npos)
        << tiway.Output();
  }
  EXPECT_EQ(sim.Control("dump 05 V 0070"), "ok 1234");
  EXPECT_EQ(sim.Stats()["writes"], 0);
  {
    // During the read before the write, on a silent line.
    ASSERT_EQ(sim.Control("fault silence@read 3").rfind("ok", 0), 0u);
    Tiway tiway({"--port", sim.Port(), "--timeout", "200", "write", "05V0070", "777"});
    ASSERT_TRUE(WaitFor(
        [&] { return sim.Trace().find("(nothing sent: fault silence") != std::string::npos; }, 60s))
        << sim.Trace();
    tiway.Signal(SIGTERM);
    EXPECT_EQ(tiway.Wait(60s), 130) << tiway.Output();
    EXPECT_NE(tiway.Output().find("interrupted before the write: nothing written"),
              std::string::npos)
        << tiway.Output();
  }
  EXPECT_EQ(sim.Control("dump 05 V 0070"), "ok 1234");
  EXPECT_EQ(sim.Stats()["writes"], 0);
}

// A pseudo-terminal's slave, free for the diagnosis to open.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    slave = ptsname(master);
  }
  ~Pty() { close(master); }
  int master = -1;
  std::string slave;
};

TEST(PortDiagnosis, NamesTheCauseOfAPortThatDoesNotOpen) {
  const ZorLineSettings line{19200, 7, 0, 1};
  EXPECT_EQ(zortw_host::DiagnosePort("/nonexistent/tty", line).problem,
            zortw_host::PortProblem::NoDevice);
  EXPECT_EQ(zortw_host::DiagnosePort("/etc/hostname", line).problem,
            zortw_host::PortProblem::NotSerial);
  // A bare name is a device in /dev, as the serial layer opens it.
  const zortw_host::PortDiagnosis bare = zortw_host::DiagnosePort("zortw-none", line);
  EXPECT_NE(bare.text.find("/dev/zortw-none does not exist"), std::string::npos) << bare.text;

  Pty pty;
  zortw_host::PortDiagnosis free = zortw_host::DiagnosePort(pty.slave, line);
  EXPECT_EQ(free.problem, zortw_host::PortProblem::None) << free.text;
  zortw_host::PortDiagnosis rate =
      zortw_host::DiagnosePort(pty.slave, ZorLineSettings{12345, 7, 0, 1});
  EXPECT_EQ(rate.problem, zortw_host::PortProblem::LineRefused) << rate.text;
  EXPECT_NE(rate.text.find("12345"), std::string::npos) << rate.text;

  // Held by another program: a child holds the lock as the driver does.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    flock(fd, LOCK_EX);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char byte;
  pollfd started{ready[0], POLLIN, 0};
  const bool holding = poll(&started, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
  zortw_host::PortDiagnosis held{};
  if (holding) held = zortw_host::DiagnosePort(pty.slave, line);
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_TRUE(holding) << "the lock holder did not start";
  EXPECT_EQ(held.problem, zortw_host::PortProblem::InUse) << held.text;
  EXPECT_NE(held.text.find("PID " + std::to_string(holder)), std::string::npos) << held.text;

  // Marked exclusive by a program that ended without clearing the mark,
  // while a program at the pseudo-terminal's master side keeps it alive (a
  // simulator): that program is named. The open is refused only to a user
  // who is not root, so as root the child runs as nobody (and stays visible
  // in /proc, as a process started as nobody).
  const pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ||
                           prctl(PR_SET_DUMPABLE, 1) != 0)) {
      _exit(2);
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) _exit(2);
    const std::string slave = ptsname(master);
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) _exit(2);
    close(fd);                  // the mark stays with the terminal
    const pid_t peer = fork();  // holds the master side
    if (peer == 0)
      for (;;) pause();
    const zortw_host::PortDiagnosis found = zortw_host::DiagnosePort(slave, line);
    kill(peer, SIGKILL);
    const bool named = found.text.find("PID " + std::to_string(peer) + " (") != std::string::npos &&
                       found.text.find("master side") != std::string::npos;
    if (found.problem == zortw_host::PortProblem::InUse && named) _exit(0);
    std::fprintf(stderr, "%s\n", found.text.c_str());
    _exit(1);
  }
  int exited = 0;
  waitpid(child, &exited, 0);
  EXPECT_TRUE(WIFEXITED(exited) && WEXITSTATUS(exited) == 0) << exited;

  // Permission denied: joining the device's group is advised only when the
  // group may read and write it; otherwise the owner, mode and a udev rule.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take another user's identity";
  ASSERT_EQ(chown(pty.slave.c_str(), 0, 5), 0);  // a group that is not root's
  const std::string link = ::testing::TempDir() + "tiway-link-" + std::to_string(getpid());
  unlink(link.c_str());
  ASSERT_EQ(symlink(pty.slave.c_str(), link.c_str()), 0);
  for (const mode_t mode : {0660, 0600}) {
    ASSERT_EQ(chmod(pty.slave.c_str(), mode), 0);
    const pid_t other = fork();
    if (other == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      const std::string text = zortw_host::DiagnosePort(pty.slave, line).text;
      const bool join = text.find("add your user to the group") != std::string::npos;
      const bool owner = text.find("is crw-------, owner root, group ") != std::string::npos &&
                         text.find("udev rule") != std::string::npos;
      // Through a link, the udev rule names the device, not the link.
      const std::string viaLink = zortw_host::DiagnosePort(link, line).text;
      const std::string device = pty.slave.substr(pty.slave.rfind('/') + 1);
      const bool kernelName = viaLink.find("KERNEL==\"" + device + "\"") != std::string::npos;
      _exit(mode == 0660 ? (join ? 0 : 1) : (!join && owner && kernelName ? 0 : 1));
    }
    int status = 0;
    waitpid(other, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << std::oct << mode;
  }
  unlink(link.c_str());
}

}  // namespace
