// Runs of the real binary under conditions a caller can impose and the other
// tests never do: closed standard descriptors, an ignored SIGCHLD, and a
// signal while gs runs or while the image is stuck in a full pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support.h"

namespace {

const std::string binary = MATHRAST_BINARY;
const std::string interrupted_by_term =
    "\nInterrupted by signal 15; the run was stopped and its work files removed\n";

// A started program (argv[0] looked up on PATH), its stdout and stderr on
// pipes unless closed.
struct started {
    pid_t pid = -1;
    int out = -1, err = -1;
};

struct start_options {
    std::set<int> closed;         // standard descriptors closed before exec
    bool ignore_sigchld = false;  // SIGCHLD left at SIG_IGN across exec
};

started start_program(const std::vector<std::string>& args, const std::string& input,
                      const std::string& dir, const start_options& options = {}) {
    std::vector<std::string> words = args;
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    // The formula is short: it fits the pipe before anyone reads it.
    if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        throw std::runtime_error("writing the formula failed");
    close(in[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);  // the harness ignores it
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : options.closed)
            close(fd);
        if (options.ignore_sigchld)
            signal(SIGCHLD, SIG_IGN);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    started s;
    s.pid = pid;
    s.out = out[0];
    s.err = err[0];
    return s;
}

started start(std::vector<std::string> args, const std::string& input, const std::string& dir,
              const start_options& options = {}) {
    args.insert(args.begin(), binary);
    return start_program(args, input, dir, options);
}

// Reads stdout and stderr to their ends, then reaps the run.
run_output finish(started& s) {
    run_output r;
    bool open[2] = {true, true};
    const int fds[2] = {s.out, s.err};
    while (open[0] || open[1]) {
        pollfd p[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            const ssize_t n = read(fds[i], buffer, sizeof buffer);
            if (n > 0)
                (i == 0 ? r.out : r.err).append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                open[i] = false;
        }
    }
    close(s.out);
    close(s.err);
    int status = 0;
    waitpid(s.pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// Fields of /proc/<pid>/stat after the command name: state, then ppid.
bool read_stat(const std::string& pid, char* state, long* ppid) {
    const std::string stat = read_file("/proc/" + pid + "/stat");
    const std::size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return false;
    std::istringstream fields(stat.substr(close_paren + 1));
    return static_cast<bool>(fields >> *state >> *ppid);
}

std::vector<std::string> children_of(pid_t parent) {
    std::vector<std::string> found;
    for (const auto& pid : list_dir("/proc")) {
        char state = 0;
        long ppid = 0;
        if (pid.find_first_not_of("0123456789") == std::string::npos &&
            read_stat(pid, &state, &ppid) && ppid == parent)
            found.push_back(pid);
    }
    return found;
}

std::string fd_target(const std::string& pid, int fd) {
    char target[4096];
    const ssize_t n =
        readlink(("/proc/" + pid + "/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

bool has_exited(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

// Waits until `ready` holds or the run ends; false after `seconds`.
template <typename Condition>
bool wait_until(pid_t pid, int seconds, Condition ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline && !has_exited(pid)) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// A normal run of the same job, to compare with.
struct reference {
    std::string image, report;
};

reference reference_run(const std::string& formula) {
    temp_dir dir;
    run_output r = run_program({binary, "-o", "eq.png"}, formula, dir.path);
    EXPECT_EQ(r.status, 0) << r.err;
    return {read_file(dir.file("eq.png")), r.out};
}

void expect_same_image(const std::string& path, const std::string& expected) {
    const std::string image = read_file(path);
    EXPECT_TRUE(image == expected) << path << " has " << image.size()
                                   << " bytes unlike those of a normal run (" << expected.size()
                                   << ")";
}

struct closed_case {
    const char* name;
    std::set<int> closed;
};

std::ostream& operator<<(std::ostream& os, const closed_case& c) {
    return os << c.name;
}

class ClosedDescriptors : public testing::TestWithParam<closed_case> {};

// A work file opened on a closed standard descriptor's number would reach a
// child as its stdin, stdout or stderr, and take the report line.
TEST_P(ClosedDescriptors, RunStillSucceeds) {
    const std::set<int>& closed = GetParam().closed;
    const bool no_stdin = closed.count(0) != 0;
    // Without stdin the formula read is empty.
    const std::string formula = "x^2";
    const reference expected = reference_run(no_stdin ? "" : formula);

    temp_dir dir;
    start_options options;
    options.closed = closed;
    started s = start({"-o", "eq.png"}, formula, dir.path, options);
    // What the standard descriptors of the run and its children point at,
    // sampled while it works.
    std::set<std::string> seen;
    while (!has_exited(s.pid)) {
        std::vector<std::string> pids = children_of(s.pid);
        pids.push_back(std::to_string(s.pid));
        for (const auto& pid : pids)
            for (int fd = 0; fd <= 2; ++fd)
                seen.insert(fd_target(pid, fd));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    run_output r = finish(s);

    EXPECT_EQ(r.status, 0) << r.err;
    expect_same_image(dir.file("eq.png"), expected.image);
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"eq.png"});
    // With stdout closed the report line goes to /dev/null, not to stderr.
    if (!closed.count(1)) {
        EXPECT_EQ(r.out, expected.report);
    }
    if (!closed.count(2)) {
        EXPECT_EQ(r.err, "");
    }
    // The dynamic loader may briefly hold a library there before main();
    // a work file, below the run's directory, never.
    for (const auto& target : seen)
        EXPECT_NE(target.rfind(dir.path, 0), 0u) << "a standard descriptor was " << target;
}

INSTANTIATE_TEST_SUITE_P(RealPaths, ClosedDescriptors,
                         testing::Values(closed_case{"stdin", {0}}, closed_case{"stdout", {1}},
                                         closed_case{"stderr", {2}},
                                         closed_case{"all", {0, 1, 2}}),
                         [](const testing::TestParamInfo<closed_case>& param_info) {
                             return std::string(param_info.param.name);
                         });

TEST(RealPaths, InheritedIgnoredSigchld) {
    start_options options;
    options.ignore_sigchld = true;
    {   // what is started that way really finds SIGCHLD ignored
        temp_dir dir;
        started probe = start_program({"cat", "/proc/self/status"}, "", dir.path, options);
        std::istringstream lines(finish(probe).out);
        unsigned long long ignored = 0;
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("SigIgn:", 0) == 0)
                ignored = std::stoull(line.substr(7), nullptr, 16);
        ASSERT_NE(ignored & (1ULL << (SIGCHLD - 1)), 0u);
    }

    const reference expected = reference_run("x^2");
    {
        temp_dir dir;
        started s = start({"-o", "eq.png"}, "x^2", dir.path, options);
        run_output r = finish(s);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, expected.report);
        EXPECT_EQ(r.err, "");
        expect_same_image(dir.file("eq.png"), expected.image);
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"eq.png"});
    }
    {   // latex's failure must still be seen, not lost with its status
        temp_dir dir;
        started s = start({"-o", "eq.png"}, "\\undefined", dir.path, options);
        run_output r = finish(s);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("\nError running LaTeX\n! Undefined control sequence.\n", 0), 0u)
            << r.err;
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"eq.log"});
    }
}

TEST(RealPaths, SignalWhileGhostscriptRuns) {
    temp_dir dir;
    // PostScript that loops for ever: the run waits on gs until stopped.
    started s = start({"-o", "eq.png"}, "x\\special{\" {} loop}", dir.path);
    const bool gs_running = wait_until(s.pid, 20, [&] {
        for (const auto& pid : children_of(s.pid))
            if (read_file("/proc/" + pid + "/comm") == "gs\n")
                return true;
        return false;
    });
    EXPECT_TRUE(gs_running) << "gs never started";
    kill(s.pid, SIGTERM);
    run_output r = finish(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, interrupted_by_term);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(list_dir(dir.path).empty());
    EXPECT_TRUE(processes_in(dir.path).empty());
}

TEST(RealPaths, SignalWhileTheImageIsStuckInAPipe) {
    temp_dir dir;
    // A rule covered with PostScript noise: about 315 KB of PNG at these
    // settings, far more than a pipe holds.
    const std::string noise =
        "\\quad\\rule{10cm}{4cm}\\special{\" -284 0 translate 284 113 scale /s 250 string def "
        "2000 800 1 [2000 0 0 800 0 0] {0 1 249 {s exch rand 256 mod put} for s} image}";
    started s = start({"-r", "400", "-s", "2"}, noise, dir.path);
    const int capacity = fcntl(s.out, F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    // Blocked in the write: the pipe is full, no child is left, and the
    // run sleeps.
    const bool blocked = wait_until(s.pid, 30, [&] {
        int queued = 0;
        char state = 0;
        long ppid = 0;
        return ioctl(s.out, FIONREAD, &queued) == 0 && queued >= capacity &&
               children_of(s.pid).empty() && read_stat(std::to_string(s.pid), &state, &ppid) &&
               state == 'S';
    });
    EXPECT_TRUE(blocked) << "the run never blocked writing the image";
    kill(s.pid, SIGTERM);
    run_output r = finish(s);
    EXPECT_EQ(r.status, 1);
    // libpng's own "Write Error" line may come first; the run's word is last.
    ASSERT_GE(r.err.size(), interrupted_by_term.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - interrupted_by_term.size()), interrupted_by_term)
        << r.err;
    EXPECT_TRUE(list_dir(dir.path).empty());
}

}  // namespace
