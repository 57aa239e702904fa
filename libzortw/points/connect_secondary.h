// The connection of a secondary station: the first point defined on a
// station connects it, and WarmStart reconnects the stations the adapter
// no longer lists.
#pragma once

#include <cstdint>

#include "base/records.h"

// Asks the adapter to connect the station: one request, its reply checked.
// The status of Transact when it failed, else that of CheckReply.
int32_t ConnectSecondary(ZorRequest* request, uint8_t station);
