#include "tools/common/driver_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

namespace zortw_tools {

namespace {
using SetLogFn = void (*)(DriverLogFn log);
}  // namespace

std::string ExecutableDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  const std::string text(path, static_cast<size_t>(n));
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

DriverLibrary LoadDriverLibrary(const std::string& path, DriverLogFn log) {
  DriverLibrary driver;
  driver.path = path.empty() ? ExecutableDir() + "/libzortw.so" : path;
  void* library = dlopen(driver.path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    driver.error = "cannot load the driver " + driver.path + ": " + (why ? why : "unknown error");
    return driver;
  }
  driver.zorMain = reinterpret_cast<ZorMainFn>(dlsym(library, "ZorMain"));
  if (driver.zorMain == nullptr) {
    driver.error = driver.path + " exports no ZorMain";
    return driver;
  }
  if (log != nullptr) {
    if (auto setLog = reinterpret_cast<SetLogFn>(dlsym(library, "ZorSetLogFunction"))) {
      setLog(log);
    }
  }
  return driver;
}

std::string FormatDriverLine(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int size = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line(size > 0 ? static_cast<size_t>(size) : 0, '\0');
  if (size > 0) std::vsnprintf(line.data(), line.size() + 1, format, args);
  return line;
}

}  // namespace zortw_tools
