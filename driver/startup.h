// Start-up and adapter configuration: ColdStart, WarmStart, the adapter's
// configuration sequence and the connection of secondary stations.
#pragma once

#include <cstdint>

#include "driver/records.h"

int32_t ColdStart(ZorRequest* request);  // 1
int32_t WarmStart(ZorRequest* request);  // 2
int32_t ConfigureAdapter(ZorRequest* request);
int32_t ConnectSecondary(ZorRequest* request, uint8_t station);
int32_t ReconnectSecondarys(ZorRequest* request);
