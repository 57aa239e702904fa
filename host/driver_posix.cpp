// Linux: libzortw.so through dlopen and dlsym.
#include <dlfcn.h>
#include <unistd.h>

#include "host/driver.h"

#ifndef ZORTW_LIBDIR_FROM_BINDIR
#define ZORTW_LIBDIR_FROM_BINDIR "../lib"
#endif

namespace zortw_host {

std::string ExecutableDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  const std::string text(path, static_cast<size_t>(n));
  const size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

std::string DefaultDriverPath() {
  // The build tree: beside the executable. An installed tree: the library
  // directory seen from the executable's (bin/ -> lib/<arch>/). Else the
  // soname, for the dynamic loader's own search.
  const std::string dir = ExecutableDir();
  for (const std::string& candidate :
       {dir + "/libzortw.so", dir + "/" ZORTW_LIBDIR_FROM_BINDIR "/libzortw.so.1"}) {
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  return "libzortw.so.1";
}

Driver LoadDriver(const std::string& path, ZorLogFn log) {
  Driver driver;
  driver.path = path.empty() ? DefaultDriverPath() : path;
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
  driver.setLog = reinterpret_cast<ZorSetLogFunctionFn>(dlsym(library, "ZorSetLogFunction"));
  if (log != nullptr && driver.setLog != nullptr) driver.setLog(log);
  return driver;
}

}  // namespace zortw_host
