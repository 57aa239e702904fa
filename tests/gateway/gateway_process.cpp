#include "tests/gateway/gateway_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "tests/e2e/sim_process.h"

extern char** environ;

namespace gwtest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = popen(("timeout 60 " + command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

std::string GatewayProcess::Start(const std::string& gatewayPath, const std::string& driverPath,
                                  const std::string& config,
                                  const std::vector<std::string>& extra) {
  char dir[] = "/tmp/zortw-gw-XXXXXX";
  if (mkdtemp(dir) == nullptr) return "mkdtemp failed";
  dir_ = dir;
  std::ofstream(dir_ + "/gateway.toml") << config;
  std::vector<std::string> args = {gatewayPath, "--config", dir_ + "/gateway.toml", "--port", "0",
                                   "--driver",  driverPath};
  args.insert(args.end(), extra.begin(), extra.end());
  args.insert(args.begin(), wrapper.begin(), wrapper.end());
  int output = -1;
  pid_ = e2e::SpawnWithOutputPipe(std::move(args), dir_ + "/log", &output);
  if (pid_ < 0) return "cannot start the gateway";
  // The plan comes first, then "tiway-gateway: listening on ADDRESS:PORT".
  std::string text;
  const auto deadline = Clock::now() + 20s;
  while (text.find("listening on ") == std::string::npos ||
         text.find('\n', text.find("listening on")) == std::string::npos) {
    if (Clock::now() > deadline) break;
    pollfd p{output, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[512];
    const ssize_t n = read(output, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(output);
  plan_ = text;
  const size_t at = text.find("listening on ");
  const size_t end = at == std::string::npos ? at : text.find('\n', at);
  if (end == std::string::npos) return "the gateway did not listen: " + text + Log();
  port_ = std::atoi(text.c_str() + text.rfind(':', end) + 1);
  return "";
}

int GatewayProcess::Terminate() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  const auto deadline = Clock::now() + 30s;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) return -1;
    std::this_thread::sleep_for(10ms);
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool GatewayProcess::Alive() const {
  return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0;
}

void GatewayProcess::Kill() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  if (!dir_.empty() && std::getenv("ZORTW_E2E_KEEP") == nullptr) {
    unlink((dir_ + "/gateway.toml").c_str());
    unlink((dir_ + "/log").c_str());
    rmdir(dir_.c_str());
  }
  dir_.clear();
}

void GatewayProcess::Signal(int signal) const {
  if (pid_ > 0) kill(pid_, signal);
}

std::string GatewayProcess::Log() const {
  std::ifstream file(dir_ + "/log");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<std::string> GatewayProcess::Py(const std::vector<std::string>& commands,
                                            const std::string& options) const {
  std::string line = std::string("/usr/bin/python3 ") + MODBUS_CLIENT_PY + " " + options + " " +
                     std::to_string(port_);
  for (const std::string& c : commands) line += " '" + c + "'";
  std::vector<std::string> lines;
  std::istringstream out(Shell(line));
  for (std::string l; std::getline(out, l);) lines.push_back(l);
  return lines;
}

std::string GatewayProcess::Mbpoll(const std::string& args, const std::string& values) const {
  return Shell("mbpoll -m tcp -p " + std::to_string(port_) + " -0 -1 -o 5 " + args + " 127.0.0.1 " +
               values);
}

}  // namespace gwtest
