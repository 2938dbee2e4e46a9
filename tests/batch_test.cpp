// Batch mode end to end: every job's result and files equal its lone run's.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "support.h"

namespace {

using json = nlohmann::json;

const std::string binary = MATHRAST_BINARY;
const std::string short_limit_binary = MATHRAST_SHORT_LIMIT_BINARY;

struct job {
    std::string formula;
    std::string output;
    std::vector<std::string> options;
};

// Every file below `root` with its content.
std::map<std::string, std::string> files_below(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& name : list_dir(root)) {
        const std::string path = root + "/" + name;
        struct stat st;
        lstat(path.c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            files[name + "/"] = "";
            for (const auto& [below, content] : files_below(path))
                files[name + "/" + below] = content;
        } else {
            files[name] = read_file(path);
        }
    }
    return files;
}

std::string job_lines(const std::vector<job>& jobs) {
    std::string lines;
    for (std::size_t i = 0; i < jobs.size(); ++i)
        lines += json{{"formula", jobs[i].formula}, {"output", jobs[i].output},
                      {"options", jobs[i].options}, {"id", i}}
                     .dump() +
                 "\n";
    return lines;
}

std::vector<json> results_of(const std::string& out) {
    std::vector<json> results;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        results.push_back(json::parse(line));
    return results;
}

// Runs the jobs as one batch in one directory and as lone runs, one after
// another, in another, each prepared by `setup`; every result, image and
// file left behind must be the same.
void expect_batch_equals_lone_runs(const std::vector<job>& jobs, const std::string& program,
                                   const std::vector<std::string>& batch_options = {},
                                   void (*setup)(const std::string&) = nullptr) {
    temp_dir batch_dir, lone_dir;
    if (setup) {
        setup(batch_dir.path);
        setup(lone_dir.path);
    }
    std::vector<std::string> argv = {program, "-B"};
    argv.insert(argv.end(), batch_options.begin(), batch_options.end());
    run_output batch = run_program(argv, job_lines(jobs), batch_dir.path);
    std::vector<json> results = results_of(batch.out);
    ASSERT_EQ(results.size(), jobs.size()) << batch.out << batch.err;
    bool all_ok = true;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        SCOPED_TRACE(jobs[i].formula + " " + testing::PrintToString(jobs[i].options));
        std::vector<std::string> lone_argv = {program};
        lone_argv.insert(lone_argv.end(), batch_options.begin(), batch_options.end());
        lone_argv.insert(lone_argv.end(), jobs[i].options.begin(), jobs[i].options.end());
        lone_argv.insert(lone_argv.end(), {"-o", jobs[i].output});
        run_output lone = run_program(lone_argv, jobs[i].formula, lone_dir.path);
        const json& r = results[i];
        EXPECT_EQ(r["line"], i + 1);
        EXPECT_EQ(r["id"], i);
        EXPECT_EQ(r["output"], jobs[i].output);
        EXPECT_EQ(r["status"], lone.status);
        if (lone.status == 0) {
            EXPECT_EQ(r.value("report", ""), lone.out);
        } else {
            EXPECT_EQ(r.value("error", ""), lone.err);
        }
        all_ok = all_ok && lone.status == 0;
    }
    EXPECT_EQ(batch.status, all_ok ? 0 : 1);
    const auto batch_files = files_below(batch_dir.path), lone_files = files_below(lone_dir.path);
    std::vector<std::string> batch_names, lone_names, differing;
    for (const auto& [name, content] : batch_files) {
        batch_names.push_back(name);
        auto other = lone_files.find(name);
        // A log's first line has the time of its run.
        const auto body = [](const std::string& text) { return text.substr(text.find('\n') + 1); };
        const bool log = name.size() > 4 && name.substr(name.size() - 4) == ".log";
        if (other != lone_files.end() &&
            (log ? body(other->second) != body(content) : other->second != content))
            differing.push_back(name);
    }
    for (const auto& entry : lone_files)
        lone_names.push_back(entry.first);
    EXPECT_EQ(batch_names, lone_names);
    EXPECT_EQ(differing, std::vector<std::string>{});
}

const std::vector<job> ordinary = {
    {"x^2+y^2=z^2", "eq1.png", {}},
    {"\\frac{a}{b}\\sqrt{\\alpha_i}", "eq2.png", {}},
    {"\\int_0^\\infty e^{-x^2}\\,dx", "sub/eq3.png", {}},
    {"\\sum_{n=1}^N n", "eq4.png", {"-s", "1"}},
    {"g", "eq5.png", {"-r", "72", "-s", "5"}},
    {"\\left(\\frac{1}{2}\\right)", "eq6.gif", {"-f", "gif", "-b", "FFFFFF"}},
    {"e^{i\\pi}+1=0", "eq7.png", {"-t", "-c", "1F4E79"}},
    {"\\binom{n}{k}", "eq8.png", {"-p", "\\usepackage{amsmath}"}},
    {"a &= b \\\\ c &= d", "eq9.png", {"-p", "\\usepackage{amsmath}", "-e", "align*"}},
    {"E = mc^2", "eq10.png", {"-e", "equation"}},
    {"F = ma", "eq11.png", {"-e", "equation"}},
    {"x_1", "eq12.png", {"-x", "2"}},
    {"\\thepage", "eq13.png", {}},
    {"x", "eq14.png", {"-e", "math"}},
    {"\\color{red}x+\\textcolor{blue}{y}", "eq15.png", {"-p", "\\usepackage{color}"}},
    {"a \\over b", "eq16.png", {}},
    {"\\mathbb{R}\\subseteq\\mathfrak{g}\\leq\\square+\\boldsymbol{\\alpha}+\\Box\\,\\mathit{ab}\\,\\text{ok}", "eq17.png",
     {"-p", "\\usepackage{amsmath,amssymb,bm,latexsym}"}},
};

void make_sub(const std::string& dir) {
    mkdir((dir + "/sub").c_str(), 0755);
}

TEST(Batch, EveryJobAsItsLoneRun) {
    expect_batch_equals_lone_runs(ordinary, binary, {}, make_sub);
}

TEST(Batch, BatchOptionsAreEveryJobsDefaults) {
    expect_batch_equals_lone_runs({{"x^2", "a.png", {}}, {"y^2", "b.png", {"-s", "2"}},
                                   {"z", "c.png", {"-r", "100"}}},
                                  binary, {"-r", "150", "-c", "FF0000"});
}

TEST(Batch, FailuresAsTheirLoneRuns) {
    expect_batch_equals_lone_runs(
        {
            {"x", "ok1.png", {}},
            {"\\frac{1}{\\undefinedthing x}", "bad.png", {}},  // the kept log too
            {"y", "ok2.png", {}},
            {"\\frac{a", "bad2.png", {}},
            {"x", "nowhere/eq.png", {}},
            {"x", "sub/", {}},
            {"x", "eq.png", {"-s", "0"}},
            {"z", "ok3.png", {}},
            {"x", "same.png", {}},  // two jobs, one output: the later one wins
            {"y^2", "same.png", {}},
            {"\\undefined", "same.gif", {}},
        },
        binary, {}, make_sub);
}

// Formulas that would change or break other jobs' pages in a naive shared
// run, among innocent ones.
TEST(Batch, HostileFormulasChangeNoOtherJob) {
    const std::vector<std::string> hostile = {
        "\\gdef\\x{HIJACKED}x",
        "\\global\\def\\alpha{Z}\\alpha",
        "\\catcode`\\x=13 \\gdef x{Q}a",
        "\\fontdimen2\\textfont2=5pt x",
        "\\global\\everydisplay{\\quad}x",
        "\\setcounter{equation}{41}x",
        "x\\end{displaymath}\\end{document}",
        "x\\end{displaymath}\\newpage\\begin{displaymath}y",
        "x\\clearpage",
        "\\shipout\\hbox{junk}x",
        "\\frac{a",
        "x}\\gdef\\y{z}{",
        "x % swallows the end",
        "\\batchmode x",
        "x\\special{! /show {pop} def}",
        "x\\special{landscape}",
        "x\\special{papersize=100pt,100pt}",
        "x\\special{color push rgb 1 0 0}",
        "x\\special{\" 0.5 setgray}",
        "\\immediate\\openout5=shared.tex \\immediate\\write5{\\gdef\\x{bad}}x",
        "\\thepage\\the\\inputlineno\\jobname",
        "\\def\\x{\\x}\\x",
    };
    std::vector<job> jobs;
    int n = 0;
    for (const auto& formula : hostile) {
        jobs.push_back({"x+y", "innocent" + std::to_string(n++) + ".png", {"-e", "equation"}});
        jobs.push_back({formula, "hostile" + std::to_string(n++) + ".png", {}});
    }
    jobs.push_back({"\\alpha x", "last.png", {}});
    expect_batch_equals_lone_runs(jobs, short_limit_binary);
}

TEST(Batch, ProtocolEndToEnd) {
    temp_dir dir;
    const std::string input =
        "\n"
        "{\"formula\":\"x\",\"output\":\"a.png\",\"id\":{\"k\":[1,2]},\"extra\":true}\n"
        "   \n"
        "not json\n"
        "{\"formula\":\"y\",\"output\":\"b.png\",\"options\":[\"-o\",\"c.png\"],\"id\":\"two\"}\n"
        "{\"formula\":\"z\",\"output\":\"d.png\"}";  // no final line feed
    run_output r = run_program({binary, "-B"}, input, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    std::vector<json> results = results_of(r.out);
    ASSERT_EQ(results.size(), 4u) << r.out;
    EXPECT_EQ(results[0]["line"], 2);
    EXPECT_EQ(results[0]["id"], json::parse("{\"k\":[1,2]}"));
    EXPECT_EQ(results[0]["status"], 0);
    EXPECT_EQ(results[1]["line"], 4);
    EXPECT_EQ(results[1]["status"], 1);
    EXPECT_FALSE(results[1].contains("id"));
    EXPECT_EQ(results[2]["line"], 5);
    EXPECT_EQ(results[2]["id"], "two");
    EXPECT_EQ(results[2]["status"], 1);
    EXPECT_EQ(results[3]["line"], 6);
    EXPECT_EQ(results[3]["status"], 0);
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"a.png", "d.png"}));
    // -o belongs to the jobs.
    run_output usage = run_program({binary, "-B", "-o", "x.png"}, "", dir.path);
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.out, "");
}

// A co-process: a result comes back while the input stays open.
TEST(Batch, StreamsResultsWhileTheInputStaysOpen) {
    temp_dir dir;
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);  // the harness ignores it
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        close(to_child[1]);
        close(from_child[0]);
        if (chdir(dir.path.c_str()) != 0)
            _exit(126);
        execl(binary.c_str(), binary.c_str(), "-B", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    const std::string first = "{\"formula\":\"x\",\"output\":\"a.png\"}\n";
    ASSERT_EQ(write(to_child[1], first.data(), first.size()), static_cast<ssize_t>(first.size()));
    std::string got;
    char c;
    while (read(from_child[0], &c, 1) == 1 && c != '\n')
        got += c;
    EXPECT_EQ(json::parse(got)["status"], 0) << got;
    const std::string second = "{\"formula\":\"y\",\"output\":\"b.png\"}\n";
    ASSERT_EQ(write(to_child[1], second.data(), second.size()), static_cast<ssize_t>(second.size()));
    close(to_child[1]);
    got.clear();
    while (read(from_child[0], &c, 1) == 1 && c != '\n')
        got += c;
    EXPECT_EQ(json::parse(got)["line"], 2) << got;
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Batch, InterruptionLeavesCompleteImagesOrNone) {
    temp_dir dir;
    std::vector<job> jobs;
    for (int i = 0; i < 60; ++i)
        jobs.push_back({"x^{" + std::to_string(i) + "}", "eq" + std::to_string(i) + ".png", {"-s", "2"}});
    jobs.push_back({"\\def\\x{\\x}\\x", "loop.png", {}});
    for (int i = 60; i < 120; ++i)
        jobs.push_back({"y_" + std::to_string(i), "eq" + std::to_string(i) + ".png", {"-t"}});
    write_file(dir.file("jobs"), job_lines(jobs));
    run_output r = run_program(
        {"bash", "-c", "\"$0\" -B < jobs > results & pid=$!; sleep 2; kill -TERM $pid; wait $pid; echo $?",
         binary},
        "", dir.path);
    EXPECT_EQ(r.out, "1\n");
    EXPECT_NE(r.err.find("Interrupted by signal 15"), std::string::npos) << r.err;
    for (const auto& name : list_dir(dir.path)) {
        EXPECT_EQ(name.find(".mathrast-"), std::string::npos) << name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".png") {
            EXPECT_TRUE(decode_png(read_file(dir.file(name))).ok) << name;
        }
    }
    // The results written are whole lines, each of a finished job.
    for (const json& result : results_of(read_file(dir.file("results")))) {
        if (result["status"] == 0) {
            EXPECT_TRUE(file_exists(dir.file(result["output"].get<std::string>())));
        }
    }
}

TEST(Batch, TwoBatchesAtOnceInOneDirectory) {
    temp_dir dir;
    std::vector<job> a, b;
    for (int i = 0; i < 8; ++i) {
        a.push_back({"a_" + std::to_string(i), "a" + std::to_string(i) + ".png", {}});
        b.push_back({"b^" + std::to_string(i), "b" + std::to_string(i) + ".png", {}});
    }
    auto first = std::async(std::launch::async, [&] { return run_program({binary, "-B"}, job_lines(a), dir.path); });
    run_output second = run_program({binary, "-B"}, job_lines(b), dir.path);
    run_output one = first.get();
    EXPECT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(results_of(one.out).size(), 8u);
    EXPECT_EQ(results_of(second.out).size(), 8u);
    EXPECT_EQ(list_dir(dir.path).size(), 16u);
}

// The README's recipe for spreading a job file: pieces through GNU
// parallel give the images of one batch, results matched by id.
TEST(Batch, PiecesThroughGnuParallelAsOneBatch) {
    if (run_program({"sh", "-c", "command -v parallel"}, "", "/").status != 0)
        GTEST_SKIP() << "GNU parallel is not installed (scripts/install-deps.sh --tests installs it)";
    std::vector<job> jobs;
    for (int i = 0; i < 12; ++i)
        jobs.push_back({"x^{" + std::to_string(i) + "}+\\alpha", "eq" + std::to_string(i) + ".png",
                        i % 3 == 0 ? std::vector<std::string>{"-t"} : std::vector<std::string>{}});
    temp_dir whole, pieces;
    write_file(whole.file("jobs"), job_lines(jobs));
    write_file(pieces.file("jobs"), job_lines(jobs));
    run_output one = run_program({"sh", "-c", "\"$0\" -B < jobs", binary}, "", whole.path);
    run_output many = run_program(
        {"sh", "-c", "parallel --pipe --keep-order -N 5 \"$0\" -B < jobs", binary}, "", pieces.path);
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(many.status, 0) << many.err;
    std::map<int, json> by_id;
    for (const json& r : results_of(one.out))
        by_id[r["id"].get<int>()] = r;
    std::vector<json> spread = results_of(many.out);
    ASSERT_EQ(spread.size(), jobs.size());
    for (const json& r : spread) {
        const json& same = by_id[r["id"].get<int>()];
        EXPECT_EQ(r["report"], same["report"]);
        EXPECT_EQ(r["output"], same["output"]);
    }
    EXPECT_EQ(spread.back()["line"], 2);  // lines count within each piece of 5
    EXPECT_EQ(files_below(pieces.path), files_below(whole.path));
}

}  // namespace
