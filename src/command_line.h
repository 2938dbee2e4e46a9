// Scanning the command line into job settings.
#pragma once

#include <cstdio>
#include <optional>

#include "records.h"

// Either complete settings (the run goes on) or the exit status with which
// the program ends at once, after the help text, the format list or an error.
struct parse_result {
    std::optional<job_settings> settings;
    int exit_status = 0;
};

// Scans argv with POSIX rules; writes the help text, the format list and
// error messages itself. Safe to call more than once (resets getopt).
parse_result parse_command_line(int argc, char* const argv[]);

// atoi's leading-digits rule (blanks, sign, digits up to the first other
// character, 0 without digits), saturating at the int32 range.
int32_t leading_digits_value(const char* text);

// The help text, ending with a newline.
void print_help_text(std::FILE* stream);

// Stores the components that "%02x%02x%02x" converts, in order, and leaves
// the rest as they were.
void scan_colour(const char* text, rgb_colour& colour);
