// Windows: zortw.dll through LoadLibrary and GetProcAddress. Its log lines
// go to err of the host's KARVEL.dll, which must lie beside the driver.
#include <windows.h>

#include "host/driver.h"

namespace zortw_host {

std::string ExecutableDir() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return ".";
  std::string text(path, n);
  size_t slash = text.find_last_of("\\/");
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

std::string DefaultDriverPath() {
  return ExecutableDir() + "\\zortw.dll";
}

Driver LoadDriver(const std::string& path, ZorLogFn /*log*/) {
  Driver driver;
  driver.path = path.empty() ? DefaultDriverPath() : path;
  // A bare name follows the standard search order; with a path, the
  // altered search path finds KARVEL.dll beside the driver as well.
  HMODULE library =
      driver.path.find_first_of("\\/") == std::string::npos
          ? LoadLibraryA(driver.path.c_str())
          : LoadLibraryExA(driver.path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (library == nullptr) {
    driver.error = "cannot load the driver " + driver.path + " (error " +
                   std::to_string(GetLastError()) + "; KARVEL.dll must lie beside it)";
    return driver;
  }
  FARPROC entry = GetProcAddress(library, "ZorMain");
  if (entry == nullptr) entry = GetProcAddress(library, "_ZorMain@4");
  if (entry == nullptr) {
    driver.error = driver.path + " exports no ZorMain";
    return driver;
  }
  // GetProcAddress hands back a generic function pointer; through void*.
  driver.zorMain = reinterpret_cast<ZorMainFn>(reinterpret_cast<void*>(entry));
  return driver;
}

}  // namespace zortw_host
