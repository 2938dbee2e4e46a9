// The batch road: many jobs, one JSON object per line on standard input,
// one JSON result per job on standard output, in input order. Jobs that the
// screen lets through share typesetting runs; any job whose shared result
// is in doubt, and every other job, is rendered alone, as a lone run would.
#pragma once

#include "records.h"

// Runs every job read until the end of standard input; returns 0 when all
// succeeded, 1 otherwise (or when a signal stopped the batch).
int run_batch(const job_settings& defaults, const char* program);
