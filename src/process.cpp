#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

extern char** environ;

namespace {

volatile sig_atomic_t received_signal = 0;

// Process groups of the running children: a batch runs a few at once, one
// per worker thread. Lock-free, so the signal handler may read them.
constexpr int child_slots = 8;
std::atomic<pid_t> running_groups[child_slots];

void on_interrupt(int signo) {
    received_signal = signo;
    for (auto& slot : running_groups) {
        const pid_t group = slot.load();
        if (group > 0)
            kill(-group, SIGKILL);
    }
}

// Takes a free slot for the group (kept in a slot, a signal stops it).
std::atomic<pid_t>* hold_group(pid_t group) {
    for (auto& slot : running_groups) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, group))
            return &slot;
    }
    return nullptr;
}

std::string env_name(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> v;
    for (auto& w : words)
        v.push_back(w.data());
    v.push_back(nullptr);
    return v;
}

// In the child after fork: only async-signal-safe steps, then exec. Reports
// the errno of a failed step through report_fd and exits 127.
[[noreturn]] void become_child(const child_spec& spec, int stdin_fd, int null_fd,
                               int diagnostics_fd, int report_fd, char** argv, char** envp) {
    setpgid(0, 0);
    const int reset[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGXFSZ};
    for (int s : reset)
        signal(s, SIG_DFL);
    // The child runs in a background process group: with the terminal's
    // "tostop" set, its first message would stop it until the time limit.
    signal(SIGTTOU, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    const int error_stream = diagnostics_fd >= 0 ? diagnostics_fd : 2;
    auto target = [&](output_sink sink, int own) {
        return sink == output_sink::null        ? null_fd
               : sink == output_sink::to_stderr ? error_stream
                                                : own;
    };
    int out_fd = target(spec.stdout_to, 1);
    int err_fd = target(spec.stderr_to, error_stream);
    // The stdout redirection to fd 2 must read fd 2 before it is replaced.
    int err_copy = dup(err_fd);
    int err = 0;
    int in_fd = spec.stdin_data.empty() ? null_fd : stdin_fd;
    if (err_copy < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_copy, 2) < 0)
        err = errno;
    if (!err && !spec.directory.empty() && chdir(spec.directory.c_str()) != 0)
        err = errno;
    rlimit fsize{static_cast<rlim_t>(spec.file_size_limit),
                 static_cast<rlim_t>(spec.file_size_limit)};
    if (!err && setrlimit(RLIMIT_FSIZE, &fsize) != 0)
        err = errno;
    if (!err) {
        // Everything above 2 closes at exec, the report pipe included.
        if (syscall(SYS_close_range, 3U, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */) != 0) {
            long max_fd = sysconf(_SC_OPEN_MAX);
            for (long fd = 3; fd < (max_fd > 0 ? max_fd : 1024); ++fd)
                fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        }
        execvpe(argv[0], argv, envp);
        err = errno;
    }
    ssize_t ignored = write(report_fd, &err, sizeof err);
    (void)ignored;
    _exit(127);
}

struct fd_owner {
    int fd = -1;
    fd_owner() = default;
    explicit fd_owner(int f) : fd(f) {}
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner() { reset(); }
    void reset() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// Keeps SIGCHLD blocked while a child runs, so that its end cannot be missed
// between fork and the wait.
struct sigchld_block {
    sigset_t old;
    sigchld_block() {
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGCHLD);
        sigprocmask(SIG_BLOCK, &s, &old);
    }
    ~sigchld_block() {
        // Drop a SIGCHLD still pending from this child before unblocking.
        sigset_t s;
        sigemptyset(&s);
        sigaddset(&s, SIGCHLD);
        timespec zero{0, 0};
        while (sigtimedwait(&s, nullptr, &zero) > 0) {
        }
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
    sigchld_block(const sigchld_block&) = delete;
    sigchld_block& operator=(const sigchld_block&) = delete;
};

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Waits until the child has ended (without reaping it), the limit passes, or
// an interrupting signal has arrived. Returns false on the time limit.
bool wait_for_end(pid_t pid, int limit_seconds) {
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    const double deadline = now_seconds() + limit_seconds;
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid)
            return true;
        double left = deadline - now_seconds();
        if (left <= 0)
            return false;
        // Another thread's wait may take this child's SIGCHLD: look again
        // at least every 20 ms.
        left = std::min(left, 0.02);
        timespec ts;
        ts.tv_sec = static_cast<time_t>(left);
        ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
        sigtimedwait(&chld, nullptr, &ts);  // a SIGCHLD, the timeout or EINTR
    }
}

}  // namespace

void prepare_process_signals() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking read must see EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A closed pipe on stdout must be a write error, not death.
    signal(SIGPIPE, SIG_IGN);
    // A caller may have left SIGCHLD ignored, which would reap our children
    // before we can read their status.
    signal(SIGCHLD, SIG_DFL);
}

int interrupt_signal() {
    return received_signal;
}

std::vector<std::string> merged_environment(const std::vector<std::string>& set,
                                            const std::vector<std::string>& unset) {
    std::vector<std::string> names = unset;
    for (const auto& e : set)
        names.push_back(env_name(e));
    std::vector<std::string> env;
    for (char** p = environ; p && *p; ++p) {
        std::string entry(*p);
        const std::string name = env_name(entry);
        bool replaced = false;
        for (const auto& n : names)
            replaced = replaced || name == n;
        if (!replaced)
            env.push_back(std::move(entry));
    }
    env.insert(env.end(), set.begin(), set.end());
    return env;
}

std::string child_failure_reason(const char* program, const child_result& r, int limit_seconds) {
    switch (r.outcome) {
    case child_outcome::timed_out:
        return std::string(program) + " was stopped: the time limit of " +
               std::to_string(limit_seconds) + " seconds was reached\n";
    case child_outcome::not_started:
        return std::string("Cannot run '") + program + "': " + std::strerror(r.code) + "\n";
    case child_outcome::signalled:
        return std::string(program) + " was killed by signal " + std::to_string(r.code) + "\n";
    default:
        return {};
    }
}

std::string interrupted_message() {
    return "\nInterrupted by signal " + std::to_string(interrupt_signal()) +
           "; the run was stopped and its work files removed\n";
}

namespace {

// What the child needs, made before fork: after it only async-signal-safe
// steps may run.
struct child_setup {
    std::vector<std::string> argv_words, env_words;
    std::vector<char*> argv, envp;
    fd_owner stdin_read, null_fd, diagnostics, report_read, report_write;
    std::atomic<pid_t>* slot = nullptr;  // where the running child's group is kept
};

// Returns 0, or the errno of the step that failed.
int set_up(const child_spec& spec, child_setup& s) {
    s.argv_words = spec.argv;
    s.env_words = merged_environment(spec.env_set, spec.env_unset);
    s.argv = pointers(s.argv_words);
    s.envp = pointers(s.env_words);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    s.stdin_read.fd = fds[0];
    fd_owner stdin_write(fds[1]);
    // The data is one short line: it fits the pipe, so writing it before the
    // child starts cannot block and cannot meet a broken pipe.
    if (spec.stdin_data.size() > 4096 ||
        write(stdin_write.fd, spec.stdin_data.data(), spec.stdin_data.size()) !=
            static_cast<ssize_t>(spec.stdin_data.size()))
        return EINVAL;
    s.null_fd.fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (s.null_fd.fd < 0)
        return errno;
    if (!spec.diagnostics_path.empty()) {
        s.diagnostics.fd = open(spec.diagnostics_path.c_str(),
                                O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (s.diagnostics.fd < 0)
            return errno;
    }
    if (pipe2(fds, O_CLOEXEC) != 0)
        return errno;
    s.report_read.fd = fds[0];
    s.report_write.fd = fds[1];
    return 0;
}

// Forks the child into its own process group; -1 (errno set) when fork fails.
pid_t spawn(const child_spec& spec, child_setup& s) {
    pid_t pid = fork();
    if (pid == 0)
        become_child(spec, s.stdin_read.fd, s.null_fd.fd, s.diagnostics.fd, s.report_write.fd,
                     s.argv.data(), s.envp.data());
    if (pid < 0)
        return pid;
    setpgid(pid, pid);
    s.slot = hold_group(pid);
    if (interrupt_signal() || !s.slot)
        kill(-pid, SIGKILL);  // no slot: it could not be stopped by a signal
    s.report_write.reset();
    s.stdin_read.reset();
    return pid;
}

// Waits for the child (or its limit), stops what is left of its group,
// reaps it and says how it ended.
child_result collect(pid_t pid, int limit_seconds, int report_fd, std::atomic<pid_t>* slot) {
    bool ended = wait_for_end(pid, limit_seconds);
    // Whatever the child left running in its group goes with it; the group
    // id stays ours until the leader is reaped.
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (slot)
        slot->store(0);

    child_result result;
    int start_errno = 0;
    ssize_t got;
    while ((got = read(report_fd, &start_errno, sizeof start_errno)) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof start_errno)) {
        result.outcome = child_outcome::not_started;
        result.code = start_errno;
    } else if (interrupt_signal()) {
        result.outcome = child_outcome::interrupted;
        result.code = interrupt_signal();
    } else if (!ended) {
        result.outcome = child_outcome::timed_out;
    } else if (WIFEXITED(status)) {
        result.outcome = child_outcome::exited;
        result.code = WEXITSTATUS(status);
    } else {
        result.outcome = child_outcome::signalled;
        result.code = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return result;
}

}  // namespace

child_result run_child(const child_spec& spec) {
    child_result result;
    if (spec.argv.empty()) {
        result.code = EINVAL;
        return result;
    }
    child_setup setup;
    if (int err = set_up(spec, setup)) {
        result.code = err;
        return result;
    }
    if (interrupt_signal()) {
        result.outcome = child_outcome::interrupted;
        return result;
    }
    sigchld_block block;
    pid_t pid = spawn(spec, setup);
    if (pid < 0) {
        result.code = errno;
        return result;
    }
    return collect(pid, spec.time_limit_seconds, setup.report_read.fd, setup.slot);
}
