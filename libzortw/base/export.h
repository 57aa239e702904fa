// How the library's exported functions are declared: ZorMain with the
// Windows standard calling convention, and visible on Linux (ZORTW_CALL and
// ZORTW_API of the public header).
#pragma once

#include "zortw/zortw.h"

#define ZORTW_EXPORT ZORTW_API
