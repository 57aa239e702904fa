// Placeholder until transactions land.
#include "nitp/transact.h"
