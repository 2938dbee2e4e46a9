#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "process.h"
#include "support.h"

namespace {

// Gone, or a zombie waiting for a reaper that is not us.
bool process_gone(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close_paren = stat.rfind(')');
    return stat.empty() || (close_paren != std::string::npos && stat.substr(close_paren + 2, 1) == "Z");
}

child_spec shell(const std::string& script, const std::string& dir) {
    child_spec spec;
    spec.argv = {"sh", "-c", script};
    spec.directory = dir;
    return spec;
}

TEST(RunChild, ExitStatusAndStartFailure) {
    temp_dir dir;
    EXPECT_TRUE(run_child(shell("exit 0", dir.path)).succeeded());
    child_result failed = run_child(shell("exit 3", dir.path));
    EXPECT_EQ(failed.outcome, child_outcome::exited);
    EXPECT_EQ(failed.code, 3);
    EXPECT_FALSE(failed.succeeded());

    child_spec missing;
    missing.argv = {"mathrast-no-such-program"};
    child_result r = run_child(missing);
    EXPECT_EQ(r.outcome, child_outcome::not_started);
    EXPECT_EQ(r.code, ENOENT);

    child_result killed = run_child(shell("kill -9 $$", dir.path));
    EXPECT_EQ(killed.outcome, child_outcome::signalled);
    EXPECT_EQ(killed.code, SIGKILL);
}

TEST(RunChild, ArgumentsAreWordsNotShellText) {
    temp_dir dir;
    child_spec spec;
    const std::string odd = "a b;'$(touch pwned)\"\\ \xc3\xa9";
    spec.argv = {"sh", "-c", "printf '%s' \"$1\" > out", "sh", odd};
    spec.directory = dir.path;
    ASSERT_TRUE(run_child(spec).succeeded());
    EXPECT_EQ(read_file(dir.file("out")), odd);
    EXPECT_FALSE(file_exists(dir.file("pwned")));
}

TEST(RunChild, StdinEnvironmentAndDirectory) {
    temp_dir dir;
    setenv("MATHRAST_TEST_GONE", "x", 1);
    setenv("MATHRAST_TEST_KEPT", "kept", 1);
    child_spec spec = shell("cat > in; echo \"$A|${MATHRAST_TEST_GONE-unset}|$MATHRAST_TEST_KEPT\" > env", dir.path);
    spec.stdin_data = "12 neg 3 neg translate\n";
    spec.env_set = {"A=1=2"};
    spec.env_unset = {"MATHRAST_TEST_GONE"};
    ASSERT_TRUE(run_child(spec).succeeded());
    EXPECT_EQ(read_file(dir.file("in")), "12 neg 3 neg translate\n");
    EXPECT_EQ(read_file(dir.file("env")), "1=2|unset|kept\n");

    // Without data the child reads an empty /dev/null, never our stdin.
    ASSERT_TRUE(run_child(shell("cat > in", dir.path)).succeeded());
    EXPECT_EQ(read_file(dir.file("in")), "");
}

TEST(RunChild, InheritsOnlyTheStandardDescriptors) {
    temp_dir dir;
    int leaked = open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GE(leaked, 3);
    const std::string fd = std::to_string(leaked);
    ASSERT_TRUE(run_child(shell("for fd in 0 1 2 " + fd + "; do test -e /proc/$$/fd/$fd && echo $fd; done > fds; true",
                                dir.path))
                    .succeeded());
    close(leaked);
    EXPECT_EQ(read_file(dir.file("fds")), "0\n1\n2\n");
}

TEST(RunChild, TimeLimitKillsTheWholeGroup) {
    temp_dir dir;
    child_spec spec = shell("sleep 60 & echo $! > pid; wait", dir.path);
    spec.time_limit_seconds = 1;
    auto start = std::chrono::steady_clock::now();
    child_result r = run_child(spec);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.outcome, child_outcome::timed_out);
    EXPECT_LT(took, std::chrono::seconds(5));
    pid_t grandchild = std::stoi(read_file(dir.file("pid")));
    usleep(100000);
    EXPECT_TRUE(process_gone(grandchild)) << "the background sleep outlived the run";
}

TEST(RunChild, LeftoversOfAFinishedChildAreStopped) {
    temp_dir dir;
    child_result r = run_child(shell("sleep 60 & echo $! > pid", dir.path));
    EXPECT_TRUE(r.succeeded());
    pid_t grandchild = std::stoi(read_file(dir.file("pid")));
    usleep(100000);
    EXPECT_TRUE(process_gone(grandchild));
}

TEST(RunChild, FileSizeLimit) {
    temp_dir dir;
    child_spec spec = shell("head -c 2000000 /dev/zero > big", dir.path);
    spec.file_size_limit = 1 << 20;
    child_result r = run_child(spec);
    EXPECT_FALSE(r.succeeded());
    EXPECT_LE(read_file(dir.file("big")).size(), 1u << 20);
}

}  // namespace
