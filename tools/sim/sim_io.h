// The simulator's I/O: the line (a pseudo-terminal it creates, or a serial
// device), paced output, and the control socket. Linux.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace tiway_sim {

using Clock = std::chrono::steady_clock;

struct Line {
  int fd = -1;       // what the simulator reads and writes (the pty master or the device)
  int holdFd = -1;   // the pty slave, kept open so the master never sees a hang-up
  std::string name;  // the path a driver opens
  std::string link;  // a symlink to name, removed on close
};

// Creates a pseudo-terminal in raw mode; `link` (optional) becomes a symlink
// to its slave. Returns false with a message.
bool OpenPty(const std::string& link, Line& line, std::string& error);

struct DeviceSettings {
  uint32_t baud = 19200;
  int dataBits = 7;
  char parity = 'O';  // 'N', 'O' or 'E'
  int stopBits = 1;
};
bool OpenDevice(const std::string& path, const DeviceSettings& settings, Line& line,
                std::string& error);

void CloseLine(Line& line);

// Output waiting for the line, in order; each piece goes out at its due time,
// then (when paced) one character per character time.
class OutputQueue {
 public:
  explicit OutputQueue(std::chrono::microseconds characterTime) : characterTime_(characterTime) {}

  void Push(Clock::time_point due, std::string bytes);
  bool Empty() const { return pieces_.empty(); }

  // Writes what is due; `holdFd` (or -1) is flushed when the line stays full.
  // Returns false on a write error.
  bool Pump(int fd, int holdFd);

  // How long the caller may sleep before the next character is due (capped).
  int PollTimeoutMs(int cap) const;

 private:
  struct Piece {
    Clock::time_point due;
    std::string bytes;
    std::size_t sent = 0;
  };
  std::chrono::microseconds characterTime_;
  std::deque<Piece> pieces_;
};

// The control socket: a listening unix stream socket; every line a client
// sends is answered with one line.
class ControlServer {
 public:
  bool Open(const std::string& path, std::string& error);
  void Close();
  bool IsOpen() const { return listenFd_ >= 0; }

  // The descriptors to poll for reading.
  std::vector<int> Fds() const;
  // Serves whatever is readable on `fd`; each complete line is answered
  // with what `answer` gives.
  void Serve(int fd, const std::function<std::string(const std::string&)>& answer);

 private:
  struct Client {
    int fd;
    std::string pending;
  };
  void Accept();

  int listenFd_ = -1;
  std::string path_;
  std::vector<Client> clients_;
};

}  // namespace tiway_sim
