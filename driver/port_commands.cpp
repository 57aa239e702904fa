// Placeholder until the commands land: every command answers like a code without one.
#include "driver/port_commands.h"
#include "driver/zormain.h"

int32_t Stop(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t ClosePort(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t OpenPort(ZorRequest* request) { (void)request; return kNoCommand; }
int32_t ReopenPort(ZorRequest* request) { (void)request; return kNoCommand; }
