// The real tiway-sim as a child process on a pseudo-terminal, with its
// control socket: started by a test, killed on every way out. Linux.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace e2e {

// Starts args[0] with args: its standard output into a pipe whose read end
// lands in *stdoutRead, its standard error into the file errPath. The
// child's pid, or -1 (and no descriptor) when it cannot be started.
pid_t SpawnWithOutputPipe(std::vector<std::string> args, const std::string& errPath,
                          int* stdoutRead);

class SimProcess {
 public:
  SimProcess() = default;
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  ~SimProcess() { Stop(); }

  // Starts `simPath` with a data file holding `data`, the given extra
  // arguments and --trace into a file. Waits (bounded) until it listens.
  // Returns an empty string or what went wrong.
  std::string Start(const std::string& simPath, const std::string& data,
                    const std::vector<std::string>& extra);
  // Kills the simulator and removes its files; safe to call twice.
  void Stop();

  // The port name a driver opens: a symbolic link of at most 11 characters.
  const std::string& Port() const { return link_; }
  // One control command, its one-line answer (bounded wait).
  std::string Control(const std::string& command) const;
  // The control socket's path (for a client in another process).
  const std::string& ControlPath() const { return control_; }
  // The counters of "stats", by name.
  std::map<std::string, long> Stats() const;
  // What --trace printed so far.
  std::string Trace() const;

  // Whether Start asks for the trace (long runs may do without it).
  bool trace = true;

 private:
  std::string dir_, link_, control_, trace_;
  pid_t pid_ = -1;
};

}  // namespace e2e
