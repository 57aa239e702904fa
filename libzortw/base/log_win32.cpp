// Windows: err is imported by name from the host's KARVEL.dll and bound when
// the driver loads.
#include "base/log.h"

extern "C" __declspec(dllimport) int err(int level, const char* format, ...);

ErrFn LogSink() {
  return &err;
}
