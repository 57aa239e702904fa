// GetDriverInfo (command 14): the driver's description for the host.
#pragma once

#include <cstdint>

#include "base/records.h"

inline constexpr int32_t kDriverId = 70;
inline constexpr int32_t kInfoValueA = 4;
inline constexpr int32_t kInfoValueB = 3;
inline constexpr char kDriverName[] = "TIWAY I";
inline constexpr LineSettings kDefaultLine = {19200, 7, 0, 1};  // 7 data bits, 1 stop, odd

// The 379-byte banner (code page 437 box), NUL-terminated.
const char* DriverBanner();

int32_t GetDriverInfo(ZorRequest* request);
