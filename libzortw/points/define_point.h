// Point address text and point definition (commands 3 and 4).
#pragma once

#include <cstdint>

#include "base/records.h"

int32_t DefinePoint(ZorRequest* request);  // 3: 0 accepted, 1 refused
int32_t CheckBlock(ZorRequest* request);   // 4: 0 accepted, 1 refused
