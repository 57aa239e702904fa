#include "points/connect_secondary.h"

#include "nitp/frame.h"
#include "nitp/transact.h"

int32_t ConnectSecondary(ZorRequest* request, uint8_t station) {
  char body[5] = {'0', '4', 0, 0, 0};
  FormatHexField(station, 2, body + 2);
  char reply[kFrameBufferSize] = {};
  return AdapterRequest(*request, body, reply);
}
