// The real tiway-gateway as a child process with its own configuration
// file, listening on a free loopback port: started by a test or a benchmark,
// killed on every way out. Linux.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace gwtest {

// Runs a shell command (bounded by timeout(1)); its stdout and stderr.
std::string Shell(const std::string& command);

class GatewayProcess {
 public:
  GatewayProcess() = default;
  GatewayProcess(const GatewayProcess&) = delete;
  GatewayProcess& operator=(const GatewayProcess&) = delete;
  ~GatewayProcess() { Kill(); }

  // Starts `gatewayPath` on `config` with --port 0 and the given extra
  // arguments; waits (bounded) until it says where it listens.
  std::string Start(const std::string& gatewayPath, const std::string& driverPath,
                    const std::string& config, const std::vector<std::string>& extra = {});
  // SIGTERM, then the exit status (bounded wait; -1 when it did not end).
  int Terminate();
  bool Alive() const;
  void Kill();
  void Signal(int signal) const;

  // Put before the gateway's command line (prlimit, for instance).
  std::vector<std::string> wrapper;
  // Its process id (-1 when not running).
  pid_t Pid() const { return pid_; }

  std::string Log() const;                           // its standard error
  const std::string& Plan() const { return plan_; }  // its standard output
  int Port() const { return port_; }
  // Its configuration file (a test rewrites it before SIGHUP).
  std::string ConfigPath() const { return dir_ + "/gateway.toml"; }

  // pymodbus (tests/gateway/modbus_client.py): one result line per command;
  // `options` before the port ("--source 127.0.0.2", "--host ::1").
  std::vector<std::string> Py(const std::vector<std::string>& commands,
                              const std::string& options = "") const;
  // mbpoll, once, with -0 (0-based addresses); values to write go after the host.
  std::string Mbpoll(const std::string& args, const std::string& values = "") const;

 private:
  std::string dir_, plan_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace gwtest
