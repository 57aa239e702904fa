// Placeholder until the commands land: every command answers like a code without one.
#include "points/define_point.h"
#include "driver/zormain.h"

int32_t DefinePoint(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t CheckBlock(ZorRequest* request) { (void)request; return kNoCommand; }
