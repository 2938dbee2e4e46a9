// A short limit for each external program, so the tests of runaway
// formulas end quickly. Keep it equal to MATHRAST_SHORT_LIMIT_SECONDS.
#include "process.h"

const int child_time_limit_seconds = 3;
