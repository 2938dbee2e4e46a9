// The lone road: one job from its settings to the exit status, with the
// formula on standard input and every message on standard error.
#pragma once

#include "records.h"

// Runs the job; returns the exit status, 0 or 1.
int run_job(const job_settings& settings);
