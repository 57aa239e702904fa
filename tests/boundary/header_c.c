/* The public header as a C compiler sees it (C11, pedantic): every record's
 * size and the offsets a host depends on, for the C++ side of layout_test
 * to hold against the driver's own view. Built for both platforms: on
 * win32 the 32-bit layout. */
#include "tests/boundary/header_c.h"

#include <stddef.h>
#include <zortw/zortw.h>

void ZortwHeaderLayoutInC(size_t* values) {
  size_t i = 0;
  values[i++] = sizeof(ZorRequest);
  values[i++] = offsetof(ZorRequest, params);
  values[i++] = sizeof(ZorPortContext);
  values[i++] = offsetof(ZorPortContext, replyBuffer);
  values[i++] = sizeof(ZorDriverInfo);
  values[i++] = offsetof(ZorDriverInfo, defaultLine);
  values[i++] = sizeof(ZorColdStartParams);
  values[i++] = sizeof(ZorReopenPortParams);
  values[i++] = sizeof(ZorPointDefinition);
  values[i++] = offsetof(ZorPointDefinition, address);
  values[i++] = sizeof(ZorBlockRequest);
  values[i++] = offsetof(ZorBlockRequest, data);
  values[i++] = (size_t)ZOR_REPLY_INVALID;
  values[i++] = (size_t)ZOR_REOPEN_PORT;
}
