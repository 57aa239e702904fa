// The files and folders the configuration names: credentials resolved, each
// checked on the file system before the gateway opens anything, and files
// read with the system's reason when they cannot be.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway/config/reader.h"

namespace gateway {

namespace {

constexpr char kCredential[] = "credential:";

// A file opened for reading (not a folder); "" or the system's reason.
std::string OpenForReading(const std::string& path, int& fd, struct stat& st) {
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    close(fd);
    fd = -1;
    return std::strerror(error);
  }
  return "";
}

std::string Check(const NamedFile& file, bool allowShared) {
  if (file.use == FileUse::Folder) {
    struct stat st {};
    if (stat(file.path.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
    if (access(file.path.c_str(), W_OK | X_OK) != 0) return std::strerror(errno);
    return "";
  }
  int fd = -1;
  struct stat st {};
  if (std::string failed = OpenForReading(file.path, fd, st); !failed.empty()) return failed;
  close(fd);
  if (file.use == FileUse::Secret && st.st_size == 0) return "the file is empty";
  if (file.use == FileUse::Secret && !allowShared && (st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("permissions ") + mode +
           " are too open: a secret must be readable by its owner only (chmod 600, a "
           "credential, or [gateway] allow_shared_secrets = true)";
  }
  return "";
}

}  // namespace

std::optional<std::string> parse::Path(const Reader& r, const char* key, const char* section,
                                       FileUse use, Config& config) {
  std::optional<std::string> value = r.Str(key);
  if (!value) return value;
  const std::string what = std::string(section) + " " + key;
  if (value->empty()) throw Refusal{r.Line(key), what + " must not be empty"};
  std::string path = *value;
  if (path.rfind(kCredential, 0) == 0 && use != FileUse::Folder) {
    const std::string name = path.substr(sizeof kCredential - 1);
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
      throw Refusal{r.Line(key), what + " '" + path + "': a credential's name has no '/'"};
    }
    const char* dir = std::getenv("CREDENTIALS_DIRECTORY");
    if (dir == nullptr || *dir == '\0') {
      throw Refusal{r.Line(key), what + " '" + path +
                                     "' needs $CREDENTIALS_DIRECTORY (LoadCredential= in the "
                                     "service's unit)"};
    }
    path = std::string(dir) + "/" + name;
  }
  NamedFile file{what, path, use, r.Line(key)};
  if (use == FileUse::Folder) {
    const size_t slash = path.rfind('/');
    file.what += "'s folder";
    file.path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  }
  config.files.push_back(file);
  return path;
}

std::string CheckFiles(const Config& config, const std::string& fileName) {
  for (const NamedFile& file : config.files) {
    const std::string failed = Check(file, config.allowSharedSecrets);
    if (failed.empty()) continue;
    const std::string where =
        file.sourceLine > 0 ? fileName + ":" + std::to_string(file.sourceLine) + ": " : "";
    return where + file.what + ": " + file.path + ": " + failed;
  }
  return "";
}

bool ReadFileText(const std::string& path, std::string& text, std::string& reason) {
  int fd = -1;
  struct stat st {};
  reason = OpenForReading(path, fd, st);
  if (!reason.empty()) return false;
  text.clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) reason = std::strerror(errno);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return reason.empty();
}

}  // namespace gateway
