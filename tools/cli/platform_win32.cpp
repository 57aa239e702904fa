// Windows: the driver is zortw.dll beside tiway.exe, loaded with
// LoadLibrary. Its log lines go to err in the host's KARVEL.dll; tiway asks
// that library (KARVEL_ECHO) to print them to standard error, and reads them
// back for --json where the library offers it (the stand-in KARVEL.dll does).
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "host/driver.h"
#include "tools/cli/platform.h"

namespace tiway {

namespace {

using LineCountFn = int (*)();
using LineFn = const char* (*)(int index);

LineCountFn g_lineCount = nullptr;
LineFn g_line = nullptr;
int g_linesTaken = 0;

}  // namespace

Problem LoadDriver(const std::string& path, LoadedDriver& driver) {
  // Set before KARVEL.dll loads: for the C runtime's copy of the environment
  // (_putenv) and for the process's own (SetEnvironmentVariableA).
  _putenv("KARVEL_ECHO=1");
  SetEnvironmentVariableA("KARVEL_ECHO", "1");
  const zortw_host::Driver library = zortw_host::LoadDriver(path);
  driver.zorMain = library.zorMain;
  driver.path = library.path;
  if (driver.zorMain == nullptr) return library.error;
  if (HMODULE karvel = GetModuleHandleA("KARVEL.dll")) {
    g_lineCount = reinterpret_cast<LineCountFn>(
        reinterpret_cast<void*>(GetProcAddress(karvel, "KarvelLineCount")));
    g_line =
        reinterpret_cast<LineFn>(reinterpret_cast<void*>(GetProcAddress(karvel, "KarvelLine")));
    if (g_lineCount) g_linesTaken = g_lineCount();
  }
  return std::nullopt;
}

std::vector<std::string> TakeDriverLog() {
  std::vector<std::string> lines;
  if (g_lineCount == nullptr || g_line == nullptr) return lines;
  for (int count = g_lineCount(); g_linesTaken < count; ++g_linesTaken) {
    lines.emplace_back(g_line(g_linesTaken));
  }
  return lines;
}

const char* DefaultPortName() {
  return "COM1";
}

namespace {

std::atomic<int> g_signals{0};

// Runs on a thread of its own that the system starts: it only notes the
// event. For a console that is closing, the system ends the process when the
// handler returns, so it lets the run finish the call in progress first
// (bounded: the system allows about 5 s).
BOOL WINAPI OnConsoleEvent(DWORD event) {
  const int count = ++g_signals;
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(4500);
    return TRUE;
  }
  if (count >= 3) ExitProcess(130);
  return TRUE;
}

}  // namespace

void InstallInterruptHandling() {
  SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

bool InterruptArrived() {
  return g_signals.load() > 0;
}

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

bool StdoutTakesUtf8() {
  // A console shows UTF-8 only with its code page set so; a pipe or a file
  // gets UTF-8.
  if (_isatty(_fileno(stdout)) == 0) return true;
  return GetConsoleOutputCP() == CP_UTF8;
}

}  // namespace tiway
