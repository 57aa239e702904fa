// Linux: the device is examined the way the driver's serial layer opens it
// (stat, an open for reading and writing, the exclusive lock, the terminal's
// settings), and the first step that fails names the cause.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "host/port_diagnosis.h"

namespace zortw_host {

namespace {

std::string Mode(mode_t mode) {
  std::string text;
  for (int shift = 6; shift >= 0; shift -= 3) {
    text += (mode >> shift & 4) ? 'r' : '-';
    text += (mode >> shift & 2) ? 'w' : '-';
    text += (mode >> shift & 1) ? 'x' : '-';
  }
  return text;
}

std::string GroupName(gid_t gid) {
  const struct group* g = getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string UserName(uid_t uid) {
  const struct passwd* p = getpwuid(uid);
  return p != nullptr ? p->pw_name : std::to_string(uid);
}

// The pseudo-terminal number of a slave device ("/dev/pts/7": 7), or -1.
int PtyIndex(const std::string& device) {
  constexpr char kPts[] = "/dev/pts/";
  if (device.rfind(kPts, 0) != 0) return -1;
  const std::string number = device.substr(sizeof kPts - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::atoi(number.c_str());
}

// Whether the descriptor fd of process pid is the master side of
// pseudo-terminal index: the kernel names the index in the descriptor's
// fdinfo.
bool IsPtyMaster(const std::string& pid, const char* fd, const std::string& target, int index) {
  if (index < 0 || (target != "/dev/ptmx" && target != "/dev/pts/ptmx")) return false;
  std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
  for (std::string line; std::getline(info, line);) {
    if (line.rfind("tty-index:", 0) == 0) return std::atoi(line.c_str() + 10) == index;
  }
  return false;
}

// The other processes that have the device open that this user may see:
// "PID 123 (tiway-sim)", and for a pseudo-terminal also those that hold its
// master side, which keeps the terminal (and a mark set on it) alive:
// "PID 123 (tiway-sim, the pseudo-terminal's master side)".
std::string Holders(const std::string& port) {
  char real[PATH_MAX];
  if (realpath(port.c_str(), real) == nullptr) return "";
  const int ptyIndex = PtyIndex(real);
  std::string found;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return "";
  const std::string self = std::to_string(getpid());
  while (const struct dirent* entry = readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || pid == self) {
      continue;
    }
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (fds == nullptr) continue;
    bool holds = false;
    bool master = false;
    while (const struct dirent* fd = readdir(fds)) {
      char target[PATH_MAX];
      const std::string link = fdDir + "/" + fd->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      const std::string path(target, static_cast<size_t>(n));
      holds = holds || path == real;
      master = master || IsPtyMaster(pid, fd->d_name, path, ptyIndex);
    }
    closedir(fds);
    if (!holds && !master) continue;
    std::string comm;
    std::ifstream("/proc/" + pid + "/comm") >> comm;
    found += (found.empty() ? "" : ", ") + std::string("PID ") + pid + " (" + comm +
             (master && !holds ? ", the pseudo-terminal's master side" : "") + ")";
  }
  closedir(proc);
  return found;
}

PortDiagnosis InUse(const std::string& port, const char* how) {
  const std::string holders = Holders(port);
  return {PortProblem::InUse, port + " is in use by another program (" + how + ")" +
                                  (holders.empty() ? "" : ": held by " + holders) +
                                  "; close it, or use another port"};
}

// An open refused with EBUSY: the terminal is marked exclusive (TIOCEXCL).
// The mark belongs to the terminal, not to the program that set it: it
// stays until the last holder closes the terminal, also after the program
// that set it ended without clearing it. Only the holders this user may see
// are named (another user's processes are hidden).
PortDiagnosis MarkedExclusive(const std::string& port) {
  const std::string holders = Holders(port);
  std::string text = port + " is in use by another program (it opened the port exclusively)";
  if (holders.empty()) {
    return {PortProblem::InUse, text +
                                    ", one of another user (this user cannot see its process); "
                                    "close it, or use another port"};
  }
  return {PortProblem::InUse,
          text + ": held by " + holders +
              "; close the program that uses the port, or use another port. If none of them uses "
              "it, a program that has ended left its exclusive mark behind: the mark goes when "
              "they close the port (restart them)"};
}

speed_t Speed(unsigned rate) {
  static constexpr struct {
    unsigned rate;
    speed_t speed;
  } kSpeeds[] = {{50, B50},     {75, B75},       {110, B110},     {134, B134},
                 {150, B150},   {200, B200},     {300, B300},     {600, B600},
                 {1200, B1200}, {1800, B1800},   {2400, B2400},   {4800, B4800},
                 {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}};
  for (const auto& entry : kSpeeds) {
    if (entry.rate == rate) return entry.speed;
  }
  return B0;
}

// The line settings, checked against what termios can express and what the
// device keeps; empty when it takes them.
std::string LineRefusal(int fd, const ZorLineSettings& line) {
  if (Speed(line.baudRate) == B0) {
    return "the baud rate " + std::to_string(line.baudRate) +
           " is not one a serial port here supports (50 to 57600: 1200, 2400, 4800, 9600, "
           "19200, 38400, 57600 ...)";
  }
  if (line.dataBits < 5 || line.dataBits > 8) {
    return std::to_string(line.dataBits) + " data bits (5 to 8 are possible)";
  }
  if (line.stopBits > 2) return "stop-bit code " + std::to_string(line.stopBits);
  if (line.parity > 4) return "parity code " + std::to_string(line.parity);
#ifndef CMSPAR
  if (line.parity >= 3) return "mark or space parity (not available here)";
#endif
  struct termios saved {};
  if (tcgetattr(fd, &saved) != 0) return "";
  struct termios wanted = saved;
  cfmakeraw(&wanted);
  wanted.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  wanted.c_cflag |= kSizes[line.dataBits - 5];
  if (line.stopBits != 0) wanted.c_cflag |= CSTOPB;
  if (line.parity == 1) wanted.c_cflag |= PARENB | PARODD;
  if (line.parity == 2) wanted.c_cflag |= PARENB;
#ifdef CMSPAR
  if (line.parity == 3) wanted.c_cflag |= PARENB | CMSPAR | PARODD;
  if (line.parity == 4) wanted.c_cflag |= PARENB | CMSPAR;
#endif
  cfsetispeed(&wanted, Speed(line.baudRate));
  cfsetospeed(&wanted, Speed(line.baudRate));
  std::string refusal;
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) {
    refusal = "the device refuses " + std::to_string(line.baudRate) + " baud, " +
              std::to_string(line.dataBits) + " data bits and this parity (" +
              std::strerror(errno) + ")";
  }
  tcsetattr(fd, TCSANOW, &saved);
  return refusal;
}

// What to do about a device this user may not open. Joining the device's
// group helps only when the group may read and write it, and joining root's
// group is never the answer: otherwise the owner may open it, or a udev
// rule can give the device a group.
std::string PermissionAdvice(const std::string& port, const struct stat& st) {
  const std::string group = GroupName(st.st_gid);
  const std::string owner = UserName(st.st_uid);
  std::string text = "permission denied: " + port + " is c" + Mode(st.st_mode) + ", owner " +
                     owner + ", group " + group;
  const bool groupMay = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (groupMay && st.st_gid != 0) {
    return text + "; add your user to the group " + group + " (sudo usermod -aG " + group +
           " $USER, then log in again)";
  }
  // udev matches the kernel's name of the device, never a symbolic link's:
  // the rule names the device the port's name resolves to.
  std::error_code code;
  const std::filesystem::path device = std::filesystem::canonical(port, code);
  const std::string resolved = code ? port : device.string();
  const std::string base = resolved.substr(resolved.rfind('/') + 1);
  if (std::filesystem::is_symlink(port, code)) text += " (a link to " + resolved + ")";
  return text + "; " +
         (groupMay ? "joining the group root is not the way to a serial port"
                   : "its group may not read and write it, so only its owner may open it") +
         ": run tiway as " + owner +
         ", or give the device a group of its own with a udev rule (e.g. KERNEL==\"" + base +
         "\", GROUP=\"dialout\", MODE=\"0660\" in /etc/udev/rules.d/60-tiway.rules, then "
         "sudo udevadm trigger, and add your user to that group)";
}

}  // namespace

PortDiagnosis DiagnosePort(const std::string& name, const ZorLineSettings& line) {
  if (name == "NUL") return {PortProblem::None, "the dummy port NUL opens whatever the settings"};
  // The serial layer opens a name without '/' in /dev.
  const std::string port = name.find('/') == std::string::npos ? "/dev/" + name : name;
  struct stat st {};
  if (stat(port.c_str(), &st) != 0) {
    const int error = errno;
    struct stat link {};
    if (error == ENOENT && lstat(port.c_str(), &link) == 0) {
      char target[PATH_MAX];
      ssize_t n = readlink(port.c_str(), target, sizeof target - 1);
      return {PortProblem::NoDevice,
              "no such device: " + port + " is a link to " +
                  (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?") +
                  ", which does not exist"};
    }
    if (error == ENOENT || error == ENOTDIR) {
      return {PortProblem::NoDevice, "no such device: " + port +
                                         " does not exist (check the name; USB adapters appear "
                                         "as /dev/ttyUSB0 or /dev/ttyACM0 when plugged in)"};
    }
    if (error == EACCES) {
      return {PortProblem::Permission,
              "permission denied: a directory on the way to " + port + " cannot be searched"};
    }
    return {PortProblem::Other, port + ": " + std::strerror(error)};
  }
  if (!S_ISCHR(st.st_mode)) {
    return {PortProblem::NotSerial, port +
                                        " is not a device (a serial port is a character "
                                        "device, such as /dev/ttyS0)"};
  }
  const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EACCES || error == EPERM) {
      return {PortProblem::Permission, PermissionAdvice(port, st)};
    }
    if (error == EBUSY) return MarkedExclusive(port);
    if (error == ENOENT || error == ENXIO || error == ENODEV) {
      return {PortProblem::NoDevice, "no such device: " + port +
                                         " exists but no hardware answers behind it (" +
                                         std::strerror(error) + "; is the adapter plugged in?)"};
    }
    return {PortProblem::Other, port + ": " + std::strerror(error)};
  }
  PortDiagnosis result;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    result = InUse(port, "it holds the port's lock");
  } else if (struct termios attributes{}; tcgetattr(fd, &attributes) != 0) {
    result = {PortProblem::NotSerial,
              port + " is not a serial device (" + std::strerror(errno) + ")"};
  } else if (std::string refusal = LineRefusal(fd, line); !refusal.empty()) {
    result = {PortProblem::LineRefused, "line settings refused: " + refusal};
  } else {
    result = {PortProblem::None, port + " opens here with these settings: the cause is unknown"};
  }
  flock(fd, LOCK_UN);
  close(fd);
  return result;
}

}  // namespace zortw_host
