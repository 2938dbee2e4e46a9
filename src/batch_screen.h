// Which batch jobs may share a typesetting run with others.
//
// A shared run puts many formulas on the pages of one latex run, so a
// formula that changes state for later pages, reads state that differs in a
// shared run, or breaks the document's structure would change other jobs'
// results. The screen lets through only what is known to be safe: a small
// set of environments and preambles, and formulas made of ordinary
// characters, balanced braces and a list of control words that typeset and
// assign nothing outside their own group. Everything else is rendered alone.
#pragma once

#include <string>

#include "records.h"

// True when the job may share a run: its environment and preamble are known,
// its options need nothing of a run of its own, and every token of the
// formula is on the list.
bool may_share_run(const job_settings& settings, const std::string& formula);

// The formula part of the screen alone.
bool formula_may_share(const std::string& formula, bool alignment_allowed);
