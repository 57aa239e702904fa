// Port commands: release, reopen and re-parameterise an instance's port
// without a full ColdStart. They log nothing and send nothing on the line.
#pragma once

#include <cstdint>

#include "base/records.h"

int32_t Stop(ZorRequest* request);        // 11: ClosePort's result
int32_t ClosePort(ZorRequest* request);   // 12: 0; 2 when the close fails
int32_t OpenPort(ZorRequest* request);    // 13: 0; 2 when the open fails
int32_t ReopenPort(ZorRequest* request);  // 15: 0; 2 when the open fails
