// Running one external program: no shell, exact redirections, a private
// process group, a wall-clock limit, and clean interruption.
#pragma once

#include <string>
#include <vector>

// How long any one external program may run, in seconds. Defined in a file
// of its own, so that a test build can link a shorter limit.
extern const int child_time_limit_seconds;

// Largest file a child may write (a formula's log, PostScript or rendering
// is far smaller; a runaway \message loop is not).
constexpr long long child_file_size_limit = 256LL * 1024 * 1024;

enum class output_sink { inherit, null, to_stderr };

struct child_spec {
    std::vector<std::string> argv;       // argv[0] is looked up on PATH
    std::vector<std::string> env_set;    // "NAME=value", overriding
    std::vector<std::string> env_unset;  // names removed from the environment
    std::string directory;               // the child's working directory
    std::string stdin_data;              // small; empty: stdin is /dev/null
    output_sink stdout_to = output_sink::inherit;
    output_sink stderr_to = output_sink::inherit;
    // When set, what would reach our standard error (stderr inherited, or
    // stdout sent to stderr) is appended to this file instead, so that a
    // caller can return it with the failure it explains.
    std::string diagnostics_path;
    int time_limit_seconds = child_time_limit_seconds;
    long long file_size_limit = child_file_size_limit;
};

enum class child_outcome { exited, signalled, timed_out, not_started, interrupted };

struct child_result {
    child_outcome outcome = child_outcome::not_started;
    int code = 0;  // exit status, signal number, or errno of a failed start
    bool succeeded() const { return outcome == child_outcome::exited && code == 0; }
};

// Runs the program to its end (or its time limit) and reaps it and anything
// left in its process group. Children inherit only fds 0, 1 and 2.
child_result run_child(const child_spec& spec);

// What a child's failure was, when the program cannot say it itself: a
// line ending with a line feed, or nothing for a plain non-zero exit.
std::string child_failure_reason(const char* program, const child_result& r, int limit_seconds);

// Our own environment with `set` ("NAME=value") replacing or adding entries
// and the names in `unset` removed.
std::vector<std::string> merged_environment(const std::vector<std::string>& set,
                                            const std::vector<std::string>& unset);

// Installs the SIGINT/SIGTERM/SIGHUP handlers (which stop the running child),
// ignores SIGPIPE for mathrast itself and restores default SIGCHLD handling.
void prepare_process_signals();

// The interrupting signal received so far, or 0.
int interrupt_signal();

// What a run that a signal stopped says, for the signal received so far.
std::string interrupted_message();
