// Linux: a symbol named err would bind to the C library's err(3), which ends
// the process, so the host hands its log function over with
// ZorSetLogFunction instead of the driver importing it by name. Until the
// host does, lines go to standard error, one per line, so that none is lost
// silently. The function pointer is the one process-wide setting of the
// library (the counterpart of the import binding on Windows); it is atomic,
// so setting it while another thread logs is safe.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "base/export.h"
#include "base/log.h"

namespace {

int StderrLog(int /*level*/, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  return 0;
}

std::atomic<ErrFn> g_hostLog{nullptr};

}  // namespace

extern "C" ZORTW_EXPORT void ZorSetLogFunction(ErrFn log) {
  g_hostLog.store(log);
}

ErrFn LogSink() {
  ErrFn log = g_hostLog.load();
  return log != nullptr ? log : &StderrLog;
}
