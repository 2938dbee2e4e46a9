// Scanning the command line into job settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "records.h"

// Either complete settings (the run goes on) or the exit status with which
// the program ends at once. What the program must print first (the help
// text, the format list, a diagnostic) comes as text, for the caller to
// write: `out` to standard output, `err` to standard error.
struct parse_result {
    std::optional<job_settings> settings;
    int exit_status = 0;
    std::string out;
    std::string err;
};

// Scans argv with POSIX rules onto `start` (the defaults unless given).
// Safe to call more than once (resets getopt).
parse_result parse_command_line(int argc, char* const argv[], job_settings start = {});

// atoi's leading-digits rule (blanks, sign, digits up to the first other
// character, 0 without digits), saturating at the int32 range.
int32_t leading_digits_value(const char* text);

// The help text, ending with a newline.
const std::string& help_text();

// Stores the components that "%02x%02x%02x" converts, in order, and leaves
// the rest as they were.
void scan_colour(const char* text, rgb_colour& colour);
