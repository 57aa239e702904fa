// Loading the driver as a host loads it: dlopen of libzortw.so on Linux,
// LoadLibrary of zortw.dll on Windows; ZorMain found by name and, on Linux,
// the host's log function handed over through ZorSetLogFunction. The library
// stays loaded for the life of the process.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "zortw/zortw.h"

namespace zortw_host {

struct Driver {
  ZorMainFn zorMain = nullptr;
#if !defined(_WIN32)
  ZorSetLogFunctionFn setLog = nullptr;  // to hand the driver another log function later
#endif
  std::string path;   // the library that was (or was to be) loaded
  std::string error;  // why loading failed; empty on success
};

// The directory of the running executable ("." when unknown).
std::string ExecutableDir();

// The driver a host loads by default: zortw.dll beside the executable; on
// Linux libzortw.so beside it (a build tree), else the installed library
// (lib/<arch>/libzortw.so.1 seen from bin/), else the soname for the
// dynamic loader to find.
std::string DefaultDriverPath();

// Loads path (DefaultDriverPath() when empty) and finds ZorMain. On Linux,
// when log is set and the library exports ZorSetLogFunction, the driver's
// lines go to log; on Windows they go to err of the host's KARVEL.dll, and
// log is not used.
Driver LoadDriver(const std::string& path, ZorLogFn log = nullptr);

// Formats one driver log line (a printf-style format and its arguments).
std::string FormatDriverLine(const char* format, va_list args);

// A log function for LoadDriver that keeps each line for the thread that
// caused it (the driver logs on the thread that called ZorMain), and passes
// it on to the echo set below.
int CollectingLog(int level, const char* format, ...);
// The lines this thread's calls produced since it last asked.
std::vector<std::string> TakeThreadLog();
// Where CollectingLog also sends each line (null: nowhere); set it before
// the driver runs.
using LogEcho = void (*)(const std::string& line);
void SetLogEcho(LogEcho echo);

}  // namespace zortw_host
