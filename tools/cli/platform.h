// What differs between Linux and Windows for tiway: loading the driver
// library, receiving its log lines, and what the terminal takes. One file per
// platform implements it (platform_posix.cpp, platform_win32.cpp).
#pragma once

#include <string>
#include <vector>

#include "tools/cli/problem.h"
#include "tools/cli/session.h"

namespace tiway {

struct LoadedDriver {
  ZorMainFn zorMain = nullptr;
  std::string path;  // the library that was (or was to be) loaded
};

// Loads the driver library (path, or the default one beside the executable),
// finds ZorMain and routes the driver's log lines: on Linux through
// ZorSetLogFunction to standard error with the prefix "driver: "; on Windows
// through the host's KARVEL.dll, asked to echo them to standard error.
// Fills out (its path even when loading fails), or says why it failed.
Problem LoadDriver(const std::string& path, LoadedDriver& out);

// The driver's log lines received since the last call.
std::vector<std::string> TakeDriverLog();

// The port tiway uses without --port: COM1 on Windows, none on Linux.
const char* DefaultPortName();

// SIGINT and SIGTERM (Windows: Ctrl-C, Ctrl-Break, console close) are
// noted, never acted on at once: the run asks InterruptArrived between driver
// calls. Call first in main, before any thread starts.
void InstallInterruptHandling();
bool InterruptArrived();

bool StderrIsTerminal();
// stdout takes UTF-8 (the banner is then converted): a terminal or a pipe,
// as the locale says (LANG, LC_ALL, LC_CTYPE; on Windows the console's code
// page, and UTF-8 for a pipe).
bool StdoutTakesUtf8();

}  // namespace tiway
