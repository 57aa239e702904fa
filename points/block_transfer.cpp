// Placeholder until the commands land: every command answers like a code without one.
#include "points/block_transfer.h"
#include "driver/zormain.h"

int32_t ReadBlock(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t ReadBlockUnchecked(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t WriteBlock(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t WriteBlockUnchecked(ZorRequest* request) { (void)request; return kNoCommand; }
