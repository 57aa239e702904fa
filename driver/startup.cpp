// Placeholder until the commands land: every command answers like a code without one.
#include "driver/startup.h"
#include "driver/zormain.h"

int32_t ColdStart(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t WarmStart(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t ConfigureAdapter(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t ReconnectSecondarys(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t ConnectSecondary(ZorRequest* request, uint8_t) { (void)request; return kNoCommand; }
