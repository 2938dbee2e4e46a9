// The wall-clock limit of each external program.
#include "process.h"

const int child_time_limit_seconds = 30;
