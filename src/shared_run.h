// The shared road of a batch: jobs that passed the screen typeset as the
// pages of one latex run, one dvips run and one Ghostscript run.
#pragma once

#include <optional>
#include <vector>

#include "driver.h"
#include "job_reader.h"

// What a finished job reports: the lone run's report line and values.
job_outcome finished_outcome(const job_target& target, const rendered_job& rendered,
                             const job_settings& settings);

// Renders the jobs (same preamble, output directory and resolution) and
// writes their images. Gives each job its outcome, or none where its shared
// result is in any doubt: that job must be rendered alone. A run that
// fails is split in halves and tried again, so that one bad formula does
// not send all the others to runs of their own.
std::vector<std::optional<job_outcome>> run_shared(const std::vector<const batch_job*>& jobs);
