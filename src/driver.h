// Running one job from its settings to the exit status.
#pragma once

#include <optional>
#include <string>

#include "records.h"

struct output_path {
    std::string work_dir;                  // "." when the name has no "/"
    std::string work_base;                 // last component up to its last "."
    std::optional<std::string> extension;  // after that ".", none without one
};

output_path split_output_path(const std::string& name);

// The output file name: work_base, plus "." and the extension if any.
std::string output_file_name(const output_path& path);

// "WIDTH=%i HEIGHT=%i STYLE=\"vertical-align: -%ipx; margin: 0;\"", with a
// negative offset shown as a valid CSS length.
std::string report_line(int32_t width, int32_t height, int32_t baseline_offset);

// Runs the job; returns the exit status, 0 or 1.
int run_job(const job_settings& settings);
