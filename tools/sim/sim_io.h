// The simulator's I/O: the line (a pseudo-terminal it creates, or a serial
// device), paced output, and the control socket. Linux.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim_pace.h"

namespace tiway_sim {

struct Line {
  int fd = -1;         // what the simulator reads and writes (the pty master or the device)
  bool pty = false;    // a pseudo-terminal of our own
  termios pristine{};  // the pty slave's settings as created
  std::string name;    // the path a driver opens
  std::string link;    // a symlink to name, removed on close
};

// Creates a pseudo-terminal in raw mode; `link` (optional) becomes a symlink
// to its slave. Returns false with a message.
bool OpenPty(const std::string& link, Line& line, std::string& error);

// Puts the pty slave's settings back as created, once its user has closed it.
// A pty keeps its settings between opens, and it cannot take 7 data bits or
// parity: it keeps 8 and none. Linux then refuses (EINVAL) a later request
// for 7 bits and parity when the outcome would leave the settings exactly as
// they were, which is the case for the second opener that asks for what the
// first one asked. Starting every opener from the created settings keeps
// each driver's open from failing that way.
void ResetPty(const Line& line);

struct DeviceSettings {
  uint32_t baud = 19200;
  int dataBits = 7;
  char parity = 'O';  // 'N', 'O' or 'E'
  int stopBits = 1;
};
bool OpenDevice(const std::string& path, const DeviceSettings& settings, Line& line,
                std::string& error);

void CloseLine(Line& line);

// Output waiting for the line, in order. Each piece starts at its due time;
// when paced, its character k (from 1) has wholly gone out at due + k
// character times, and the next piece starts no earlier than the end of the
// one before.
//
// A reply made late on purpose keeps the moment its request arrived: the
// queue records how long after it the reply's last byte actually left,
// which on a loaded machine can be well past what was asked for (the
// simulator wakes late), so that a test can tell the fault it staged from
// the one it meant to stage.
class OutputQueue {
 public:
  explicit OutputQueue(LinePace pace) : pace_(pace) {}

  // askedAt: when the request a late reply answers arrived; none for a
  // reply sent on time.
  void Push(Clock::time_point due, std::string bytes,
            std::optional<Clock::time_point> askedAt = std::nullopt);
  bool Empty() const { return pieces_.empty(); }

  void Clear() { pieces_.clear(); }

  // Writes what is due. Returns false on a write error.
  bool Pump(int fd);

  // When the next character is due (Clock::time_point::max() when nothing waits).
  Clock::time_point NextDue() const;

  // The late replies since the last ResetLate: how many have left whole,
  // and the longest time from a request's arrival to its late reply's last
  // byte leaving; a late reply still waiting counts with the time it has
  // waited so far. lastLate is that time for the late reply that left last.
  struct LateRecord {
    long sent = 0;
    Clock::duration longest{};
    Clock::duration lastLate{};
  };
  LateRecord Late(Clock::time_point now) const;
  long LateSent() const { return late_.sent; }
  Clock::duration LastLate() const { return late_.lastLate; }
  void ResetLate() { late_ = {}; }

 private:
  struct Piece {
    Clock::time_point due;
    std::string bytes;
    std::size_t sent = 0;
    std::optional<Clock::time_point> askedAt;
  };
  LinePace pace_;
  std::deque<Piece> pieces_;
  LateRecord late_;
};

// The wait until `due`, at most `cap`, for ppoll (nanoseconds: a character
// at 19200 baud lasts about half a millisecond).
timespec WaitUntil(Clock::time_point due, std::chrono::milliseconds cap);

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
