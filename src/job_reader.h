// The batch's pure layer: one input line (a JSON object) into a job, and
// one job's outcome into one result line (a JSON object). No I/O here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "records.h"

// Longest input line read as a job, in bytes without its line feed. A
// reader may stop at max_job_line_bytes + 1 bytes: that is enough to refuse it.
constexpr std::size_t max_job_line_bytes = std::size_t{1} << 20;

// Deepest nesting of arrays and objects on a line (the job object is level 1).
// Writing a value back out recurses once per level.
constexpr int max_job_nesting = 100;

struct batch_job {
    int64_t line = 0;                    // 1-based; every input line counts
    std::optional<std::string> id_json;  // the "id" value as compact JSON text
    std::optional<std::string> output;   // the "output" string, when the line had one
    std::string formula;                 // what a lone run would read on stdin
    job_settings settings;               // defaults, then the job's options; output_name = output
};

// A line that is not blank: the job, ready to run when `error` is none.
// On failure `job` holds its line and whatever of "id" and "output" could
// be read, so that the result can echo them; its settings are the defaults.
struct read_line_result {
    batch_job job;
    step_failure error;
};

// Reads `text`, one input line without its line feed, as the job on line
// `line`. None for a blank line (empty, or only blanks, tabs and CRs),
// which gets no result. `defaults` are the settings of the batch's own
// options; `program` names the program in getopt's diagnostics.
std::optional<read_line_result> read_job_line(const std::string& text, int64_t line,
                                              const job_settings& defaults, const char* program);

// What a job's run gave.
struct job_outcome {
    int status = 1;
    std::string report;  // on success: the report line, byte for byte
    std::string error;   // on failure: the exact message
    std::string srcset, hidpi_output;  // on success with -x
    int32_t width = 0, height = 0, baseline_offset = 0;
};

// A failed outcome with the failure's message.
job_outcome failed_outcome(const failure& f);

// The job's result: one JSON object on one line, ending with "\n". Fields
// in this order: line, id (when the job had one), output (when the line had
// one), status, then on success report, width, height, baseline_offset and,
// with -x, srcset and hidpi_output; on failure error. Never throws on odd
// text: invalid UTF-8 comes out as U+FFFD.
std::string result_line(const batch_job& job, const job_outcome& outcome);
