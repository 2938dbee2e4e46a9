// The private work directory of one run, inside the output directory.
#pragma once

#include <string>

#include "records.h"

// Where one run works. Every work file lives in private_dir, a directory of
// this run's own inside the output directory; children start there.
struct work_area {
    std::string absolute_work_dir;  // the output directory, absolute
    std::string private_dir;        // absolute; empty until made
    std::string work_base;          // the user's base name, for files kept on failure
    std::string diagnostics_path;   // empty: children's messages go to our stderr
};

// `name` inside directory `dir` ("/" joins without doubling).
std::string path_in(const std::string& dir, const std::string& name);

// The fixed stem of every internal work file: no user-chosen name ever
// reaches an external program.
extern const char work_file_stem[];

// The internal work file with this suffix (".tex", ".ps.png", ...), as an
// absolute path inside the private directory.
std::string work_file(const work_area& area, const char* suffix);

// Owns the private directory: removes it with all it holds when destroyed.
struct private_directory {
    std::string path;  // absolute; empty: none
    private_directory() = default;
    private_directory(const private_directory&) = delete;
    private_directory& operator=(const private_directory&) = delete;
    ~private_directory();
};

// Makes a hidden directory (mode 0700) inside `parent` (absolute).
step_failure make_private_directory(const std::string& parent, private_directory& dir);

// The text of a small work file; empty when it is missing or unreadable.
std::string read_work_file(const std::string& path);

// Removes a directory and everything below it without following links.
void remove_tree(const std::string& path);

// Moves the work file with this suffix into the output directory under the
// user's name, for inspection after a failure. Returns a line for the user
// when that fails (nothing when the file was never written).
std::string keep_as(const work_area& area, const char* suffix);
