// Linux: the driver is libzortw.so, opened with dlopen; tiway hands it its
// log function through the extra export ZorSetLogFunction.
#include <dlfcn.h>
#include <langinfo.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#include "host/driver.h"
#include "tools/cli/platform.h"

namespace tiway {

namespace {

std::mutex g_logMutex;
std::vector<std::string> g_log;

int DriverLog(int /*level*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = zortw_host::FormatDriverLine(format, args);
  va_end(args);
  {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(line);
  }
  EchoDriverLine(std::cerr, line);
  return 0;
}

}  // namespace

// Without a log function the driver writes its lines to stderr itself;
// handing ours over lets tiway prefix them and report them in --json.
Problem LoadDriver(const std::string& path, LoadedDriver& driver) {
  const zortw_host::Driver library = zortw_host::LoadDriver(path, &DriverLog);
  driver.zorMain = library.zorMain;
  driver.path = library.path;
  if (driver.zorMain == nullptr) return library.error;
  return std::nullopt;
}

std::vector<std::string> TakeDriverLog() {
  std::lock_guard<std::mutex> lock(g_logMutex);
  std::vector<std::string> lines;
  lines.swap(g_log);
  return lines;
}

const char* DefaultPortName() {
  return "";
}

namespace {

std::atomic<int> g_signals{0};

}  // namespace

void InstallInterruptHandling() {
  // SIGINT and SIGTERM are blocked in every thread and taken by one thread
  // of their own with sigwait: no handler runs inside a driver call, and no
  // system call of the serial layer is cut short.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    // Signals closer together than this are one interrupt (timeout(1) and a
    // terminal may deliver the same one to the process and its group).
    constexpr auto kSamePress = std::chrono::milliseconds(300);
    std::chrono::steady_clock::time_point last{};
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) != 0) continue;
      const auto now = std::chrono::steady_clock::now();
      if (g_signals.load() > 0 && now - last < kSamePress) continue;
      last = now;
      const int count = ++g_signals;
      if (count == 2) {
        static const char kNote[] =
            "tiway: still finishing the driver call in progress; a third interrupt exits at "
            "once (the outcome of that call is then unknown)\n";
        (void)!write(STDERR_FILENO, kNote, sizeof kNote - 1);
      } else if (count >= 3) {
        static const char kNote[] =
            "tiway: forced exit during a driver call: its outcome is unknown\n";
        (void)!write(STDERR_FILENO, kNote, sizeof kNote - 1);
        _exit(130);
      }
    }
  }).detach();
}

bool InterruptArrived() {
  return g_signals.load() > 0;
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) == 1;
}

bool StdoutTakesUtf8() {
  if (std::setlocale(LC_CTYPE, "") == nullptr) return false;
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr && std::strcmp(codeset, "UTF-8") == 0;
}

}  // namespace tiway
