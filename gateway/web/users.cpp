#include "gateway/web/users.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace gateway::web {

namespace {

constexpr int kIterations = 200000;
constexpr size_t kSalt = 16, kHash = 32;
constexpr const char* kScheme = "pbkdf2-sha256";

std::string Hex(const unsigned char* data, size_t n) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

bool Unhex(const std::string& text, std::vector<unsigned char>& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = text.substr(i, 2);
    const long v = std::strtol(pair.c_str(), &end, 16);
    if (*end != '\0') return false;
    out.push_back(static_cast<unsigned char>(v));
  }
  return true;
}

bool Derive(const std::string& password, const std::vector<unsigned char>& salt, int iterations,
            std::vector<unsigned char>& out) {
  out.assign(kHash, 0);
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), iterations, EVP_sha256(),
                           static_cast<int>(out.size()), out.data()) == 1;
}

}  // namespace

std::string HashPassword(const std::string& password) {
  std::vector<unsigned char> salt(kSalt), hash;
  if (RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
      !Derive(password, salt, kIterations, hash)) {
    return "";
  }
  return std::string(kScheme) + "$" + std::to_string(kIterations) + "$" +
         Hex(salt.data(), salt.size()) + "$" + Hex(hash.data(), hash.size());
}

bool VerifyPassword(const std::string& stored, const std::string& password) {
  std::istringstream in(stored);
  std::string scheme, iterations, saltHex, hashHex;
  if (!std::getline(in, scheme, '$') || scheme != kScheme || !std::getline(in, iterations, '$') ||
      !std::getline(in, saltHex, '$') || !std::getline(in, hashHex)) {
    return false;
  }
  std::vector<unsigned char> salt, expected, got;
  const int n = std::atoi(iterations.c_str());
  if (n < 1 || !Unhex(saltHex, salt) || !Unhex(hashHex, expected) || expected.size() != kHash ||
      !Derive(password, salt, n, got)) {
    return false;
  }
  return CRYPTO_memcmp(got.data(), expected.data(), kHash) == 0;
}

std::optional<std::map<std::string, std::string>> LoadUsers(const std::string& path,
                                                            std::string& error) {
  std::ifstream file(path);
  if (!file) {
    error = "users file '" + path + "' cannot be read";
    return std::nullopt;
  }
  std::map<std::string, std::string> users;
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string::npos ||
        line.find(std::string(kScheme) + "$", colon) != colon + 1) {
      error = path + ":" + std::to_string(number) + ": not NAME:" + kScheme + "$...";
      return std::nullopt;
    }
    users[line.substr(0, colon)] = line.substr(colon + 1);
  }
  return users;
}

int AddUser(const std::string& path, const std::string& name) {
  if (name.empty() || name.find(':') != std::string::npos) {
    std::cerr << "tiway-gateway: a user name must not be empty or hold ':'\n";
    return 1;
  }
  termios saved{};
  const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::cerr << "password for " << name << ": " << std::flush;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string password;
  std::getline(std::cin, password);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::cerr << "\n";
  }
  if (password.empty()) {
    std::cerr << "tiway-gateway: no password given (one line on standard input)\n";
    return 1;
  }
  const std::string hash = HashPassword(password);
  if (hash.empty()) {
    std::cerr << "tiway-gateway: cannot make the password's hash\n";
    return 1;
  }
  std::string kept;
  if (std::ifstream old(path); old) {
    std::string line;
    while (std::getline(old, line)) {
      if (line.rfind(name + ":", 0) != 0) kept += line + "\n";
    }
  }
  kept += name + ":" + hash + "\n";
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::write(fd, kept.data(), kept.size()) != static_cast<ssize_t>(kept.size()) ||
      ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    std::cerr << "tiway-gateway: cannot write '" << path << "'\n";
    return 1;
  }
  std::cerr << "tiway-gateway: " << name << " added to " << path << "\n";
  return 0;
}

}  // namespace gateway::web
