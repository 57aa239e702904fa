// Loading the driver library at run time, as a host does (Linux): dlopen the
// shared library, find ZorMain, and hand the driver a log function through
// its extra export ZorSetLogFunction. Shared by the tools that host the
// driver.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include "base/records.h"

namespace zortw_tools {

using ZorMainFn = int32_t (*)(ZorRequest* request);
// The driver's log function: err(level, format, instance, values...).
using DriverLogFn = int (*)(int level, const char* format, ...);

struct DriverLibrary {
  ZorMainFn zorMain = nullptr;
  std::string path;   // the library that was (or was to be) loaded
  std::string error;  // why loading failed; empty on success
};

// The directory of the running executable ("." when unknown).
std::string ExecutableDir();

// Loads `path`, or libzortw.so beside the executable when `path` is empty,
// finds ZorMain and, when `log` is set and the library exports
// ZorSetLogFunction, routes the driver's log lines to `log`. The library
// stays loaded for the life of the process.
DriverLibrary LoadDriverLibrary(const std::string& path, DriverLogFn log);

// Formats a driver log line (a printf-style format and its arguments).
std::string FormatDriverLine(const char* format, va_list args);

}  // namespace zortw_tools
