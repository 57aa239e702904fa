// Block read and write (commands 5, 6, 7 and 10).
#pragma once

#include <cstdint>

#include "base/records.h"

int32_t ReadBlock(ZorRequest* request);            // 5
int32_t ReadBlockUnchecked(ZorRequest* request);   // 6
int32_t WriteBlock(ZorRequest* request);           // 7
int32_t WriteBlockUnchecked(ZorRequest* request);  // 10
