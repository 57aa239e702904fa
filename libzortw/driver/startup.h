// Start-up and adapter configuration: ColdStart, WarmStart, the adapter's
// configuration sequence and the reconnection of secondary stations.
#pragma once

#include <cstdint>

#include "base/records.h"

int32_t ColdStart(ZorRequest* request);  // 1
int32_t WarmStart(ZorRequest* request);  // 2
int32_t ConfigureAdapter(ZorRequest* request);
int32_t ReconnectSecondarys(ZorRequest* request);
