// Placeholder until frame encoding lands.
#include "nitp/frame.h"
