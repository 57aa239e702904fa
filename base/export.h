// How the library's exported functions are declared: ZorMain with the
// Windows standard calling convention, and visible on Linux.
#pragma once

#if defined(_WIN32)
#define ZORTW_CALL __stdcall
#define ZORTW_EXPORT
#else
#define ZORTW_CALL
#define ZORTW_EXPORT __attribute__((visibility("default")))
#endif
