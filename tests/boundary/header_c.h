/* The layout of the public header's records as compiled in C. */
#ifndef ZORTW_TESTS_HEADER_C_H
#define ZORTW_TESTS_HEADER_C_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { kHeaderLayoutValues = 14 };
void ZortwHeaderLayoutInC(size_t* values);

#ifdef __cplusplus
}
#endif

#endif
