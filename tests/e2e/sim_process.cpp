#include "tests/e2e/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

namespace e2e {

pid_t SpawnWithOutputPipe(std::vector<std::string> args, const std::string& errPath,
                          int* stdoutRead) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) {
    close(out[0]);
    return -1;
  }
  *stdoutRead = out[0];
  return pid;
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Reads from fd until a line end arrives or the deadline passes.
std::string ReadLine(int fd, std::chrono::milliseconds limit) {
  std::string text;
  const auto deadline = Clock::now() + limit;
  while ((text.empty() || text.back() != '\n') && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char c;
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0) break;
    text += c;
  }
  return text;
}

}  // namespace

std::string SimProcess::Start(const std::string& simPath, const std::string& data,
                              const std::vector<std::string>& extra) {
  char dir[] = "/tmp/zortw-e2e-XXXXXX";
  if (mkdtemp(dir) == nullptr) return "mkdtemp failed";
  dir_ = dir;
  control_ = dir_ + "/control";
  trace_ = dir_ + "/trace.log";
  const std::string dataFile = dir_ + "/data.txt";
  std::ofstream(dataFile) << data;

  // The driver takes port names of at most 11 characters: "/tmp/" and six
  // unique characters. The simulator makes the link; the name is only held.
  char link[] = "/tmp/XXXXXX";
  const int held = mkstemp(link);
  if (held < 0) return "mkstemp failed";
  close(held);
  unlink(link);
  link_ = link;

  std::vector<std::string> args = {simPath,  "--link", link_,    "--control",
                                   control_, "--data", dataFile, "--exit-after-idle",
                                   "120"};
  if (trace) args.push_back("--trace");
  args.insert(args.end(), extra.begin(), extra.end());
  int output = -1;
  pid_ = SpawnWithOutputPipe(std::move(args), trace_, &output);
  if (pid_ < 0) return "cannot start " + simPath;
  const std::string first = ReadLine(output, 5000ms);
  close(output);
  if (first.rfind("tiway-sim: listening on ", 0) != 0) {
    return "the simulator did not start: '" + first + "' " + Trace();
  }
  // The control socket is bound before the simulator says it listens.
  return "";
}

void SimProcess::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    const auto deadline = Clock::now() + 5s;
    while (waitpid(pid_, nullptr, WNOHANG) == 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
  }
  if (!dir_.empty()) {
    // Keep the trace of a failed run when asked to.
    if (std::getenv("ZORTW_E2E_KEEP") == nullptr) {
      unlink(trace_.c_str());
      unlink((dir_ + "/data.txt").c_str());
      unlink(control_.c_str());
      rmdir(dir_.c_str());
    }
    dir_.clear();
  }
  if (!link_.empty()) {
    struct stat info {};
    if (lstat(link_.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) unlink(link_.c_str());
    link_.clear();
  }
}

std::string SimProcess::Control(const std::string& command) const {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "error socket";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, control_.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return "error connect";
  }
  const std::string text = command + "\n";
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    close(fd);
    return "error write";
  }
  std::string answer = ReadLine(fd, 5000ms);
  close(fd);
  if (!answer.empty() && answer.back() == '\n') answer.pop_back();
  return answer;
}

std::map<std::string, long> SimProcess::Stats() const {
  std::map<std::string, long> stats;
  std::istringstream words(Control("stats"));
  std::string word;
  while (words >> word) {
    const std::size_t equals = word.find('=');
    if (equals != std::string::npos) {
      stats[word.substr(0, equals)] = std::strtol(word.c_str() + equals + 1, nullptr, 10);
    }
  }
  return stats;
}

std::string SimProcess::Trace() const {
  std::ifstream file(trace_);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace e2e
