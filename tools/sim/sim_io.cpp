#include "sim_io.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tiway_sim {

namespace {

std::string Errno(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SpeedFor(uint32_t baud, speed_t& speed) {
  switch (baud) {
    case 300:
      speed = B300;
      return true;
    case 600:
      speed = B600;
      return true;
    case 1200:
      speed = B1200;
      return true;
    case 2400:
      speed = B2400;
      return true;
    case 4800:
      speed = B4800;
      return true;
    case 9600:
      speed = B9600;
      return true;
    case 19200:
      speed = B19200;
      return true;
    case 38400:
      speed = B38400;
      return true;
    case 57600:
      speed = B57600;
      return true;
    case 115200:
      speed = B115200;
      return true;
    default:
      return false;
  }
}

}  // namespace

bool OpenPty(const std::string& link, Line& line, std::string& error) {
  line = Line{};
  line.fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (line.fd < 0) {
    error = Errno("posix_openpt");
    return false;
  }
  char name[128] = {};
  if (grantpt(line.fd) != 0 || unlockpt(line.fd) != 0 ||
      ptsname_r(line.fd, name, sizeof name) != 0) {
    error = Errno("pseudo-terminal set-up");
    CloseLine(line);
    return false;
  }
  line.name = name;
  line.pty = true;
  const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios settings{};
  if (slave < 0 || tcgetattr(slave, &settings) != 0) {
    error = Errno(std::string("opening ") + name);
    if (slave >= 0) close(slave);
    CloseLine(line);
    return false;
  }
  cfmakeraw(&settings);  // no echo, no line editing, no character translation
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  // The settings stay with the terminal after this close.
  const bool raw = tcsetattr(slave, TCSANOW, &settings) == 0 && tcgetattr(slave, &settings) == 0;
  close(slave);
  if (!raw || !SetNonBlocking(line.fd)) {
    error = Errno("raw mode");
    CloseLine(line);
    return false;
  }
  line.pristine = settings;
  if (!link.empty()) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
      if (!S_ISLNK(info.st_mode)) {
        error = link + " exists and is not a symbolic link; not replacing it";
        CloseLine(line);
        return false;
      }
      unlink(link.c_str());
    }
    if (symlink(name, link.c_str()) != 0) {
      error = Errno("symlink " + link);
      CloseLine(line);
      return false;
    }
    line.link = link;
  }
  return true;
}

bool OpenDevice(const std::string& path, const DeviceSettings& settings, Line& line,
                std::string& error) {
  line = Line{};
  speed_t speed;
  if (!SpeedFor(settings.baud, speed)) {
    error = "unsupported baud rate " + std::to_string(settings.baud);
    return false;
  }
  line.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (line.fd < 0) {
    error = Errno("opening " + path);
    return false;
  }
  line.name = path;
  termios tio{};
  if (tcgetattr(line.fd, &tio) != 0) {
    error = Errno("tcgetattr " + path);
    CloseLine(line);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= CLOCAL | CREAD | (settings.dataBits == 7 ? CS7 : CS8);
  if (settings.parity != 'N') tio.c_cflag |= PARENB | (settings.parity == 'O' ? PARODD : 0);
  if (settings.stopBits == 2) tio.c_cflag |= CSTOPB;
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
  if (tcsetattr(line.fd, TCSANOW, &tio) != 0) {
    error = Errno("configuring " + path);
    CloseLine(line);
    return false;
  }
  tcflush(line.fd, TCIOFLUSH);
  return true;
}

void ResetPty(const Line& line) {
  if (!line.pty) return;
  const int slave = open(line.name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (slave < 0) return;
  tcflush(slave, TCIOFLUSH);  // replies nobody read
  tcsetattr(slave, TCSANOW, &line.pristine);
  close(slave);
}

void CloseLine(Line& line) {
  if (!line.link.empty()) unlink(line.link.c_str());
  if (line.fd >= 0) close(line.fd);
  line = Line{};
}

void OutputQueue::Push(Clock::time_point due, std::string bytes,
                       std::optional<Clock::time_point> askedAt) {
  // A reply waits for the one before it to have left the line whole.
  if (!pieces_.empty()) {
    const Piece& last = pieces_.back();
    due = std::max(due, last.due + pace_.Span(last.bytes.size()));
  }
  pieces_.push_back({due, std::move(bytes), 0, askedAt});
}

OutputQueue::LateRecord OutputQueue::Late(Clock::time_point now) const {
  LateRecord record = late_;
  for (const Piece& piece : pieces_) {
    if (piece.askedAt) record.longest = std::max(record.longest, now - *piece.askedAt);
  }
  return record;
}

bool OutputQueue::Pump(int fd) {
  while (!pieces_.empty()) {
    Piece& piece = pieces_.front();
    const Clock::time_point now = Clock::now();
    if (now < piece.due) return true;
    std::size_t allowed = piece.bytes.size();
    if (pace_.Paced()) {
      allowed = static_cast<std::size_t>(
          std::min<uint64_t>(allowed, pace_.CharactersIn(now - piece.due)));
    }
    if (allowed > piece.sent) {
      const ssize_t n = write(fd, piece.bytes.data() + piece.sent, allowed - piece.sent);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EIO) {
          // A pty whose user has gone: the reply has nobody to go to.
          pieces_.clear();
          return true;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        return true;  // the line is full: try again later
      }
      piece.sent += static_cast<std::size_t>(n);
    }
    if (piece.sent < piece.bytes.size()) return true;
    const Clock::time_point end = piece.due + pace_.Span(piece.bytes.size());
    if (piece.askedAt) {
      const Clock::duration took = now - *piece.askedAt;
      ++late_.sent;
      late_.longest = std::max(late_.longest, took);
      late_.lastLate = took;
    }
    pieces_.pop_front();
    if (!pieces_.empty() && pieces_.front().due < end) pieces_.front().due = end;
  }
  return true;
}

Clock::time_point OutputQueue::NextDue() const {
  if (pieces_.empty()) return Clock::time_point::max();
  const Piece& piece = pieces_.front();
  return piece.due + pace_.Span(piece.sent + 1);
}

timespec WaitUntil(Clock::time_point due, std::chrono::milliseconds cap) {
  const Clock::time_point now = Clock::now();
  auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(cap);
  if (due < now + cap) {
    wait = due <= now ? std::chrono::nanoseconds(0)
                      : std::chrono::duration_cast<std::chrono::nanoseconds>(due - now);
  }
  timespec spec{};
  spec.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
  spec.tv_nsec = static_cast<long>(wait.count() % 1'000'000'000);
  return spec;
}

bool ControlServer::Open(const std::string& path, std::string& error) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    error = "control path too long: " + path;
    return false;
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      error = path + " exists and is not a socket; not replacing it";
      return false;
    }
    unlink(path.c_str());
  }
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    error = Errno("socket");
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listenFd_, 8) != 0) {
    error = Errno("control socket " + path);
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  path_ = path;
  return true;
}

void ControlServer::Close() {
  for (Client& client : clients_) close(client.fd);
  clients_.clear();
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(path_.c_str());
  }
  listenFd_ = -1;
}

std::vector<int> ControlServer::Fds() const {
  std::vector<int> fds;
  if (listenFd_ >= 0) fds.push_back(listenFd_);
  for (const Client& client : clients_) fds.push_back(client.fd);
  return fds;
}

void ControlServer::Accept() {
  for (;;) {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    clients_.push_back({fd, {}});
  }
}

void ControlServer::Serve(int fd, const std::function<std::string(const std::string&)>& answer) {
  if (fd == listenFd_) {
    Accept();
    return;
  }
  for (std::size_t i = 0; i < clients_.size(); ++i) {
    if (clients_[i].fd != fd) continue;
    char buffer[1024];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    bool open = n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
    if (n > 0) clients_[i].pending.append(buffer, static_cast<std::size_t>(n));
    // A last command without its line end still counts when the client closes.
    if (n == 0 && !clients_[i].pending.empty()) clients_[i].pending += '\n';
    std::size_t end;
    while ((end = clients_[i].pending.find('\n')) != std::string::npos) {
      const std::string lineText = clients_[i].pending.substr(0, end);
      clients_[i].pending.erase(0, end + 1);
      const std::string reply = answer(lineText) + "\n";
      // A short answer to a local socket; a client that went away is dropped.
      if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) !=
          static_cast<ssize_t>(reply.size())) {
        open = false;
        break;
      }
    }
    if (clients_[i].pending.size() > 4096) open = false;  // no line end in sight
    if (!open) {
      close(fd);
      clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
    }
    return;
  }
}

}  // namespace tiway_sim
