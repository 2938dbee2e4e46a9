// Formulas typed by strangers, runs at once in one directory, interruption,
// and the user's own files beside the output.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>

#include "support.h"

namespace {

const std::string binary = MATHRAST_BINARY;
const std::string short_limit_binary = MATHRAST_SHORT_LIMIT_BINARY;

// Every file below `root` (except below `skip`), with its content.
void snapshot(const std::string& root, const std::string& skip,
              std::map<std::string, std::string>& files) {
    for (const auto& name : list_dir(root)) {
        const std::string path = root + "/" + name;
        if (path == skip)
            continue;
        struct stat st;
        lstat(path.c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            files[path] = "<dir>";
            snapshot(path, skip, files);
        } else {
            files[path] = read_file(path);
        }
    }
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

struct hostile_case {
    const char* name;
    std::string formula;            // @ROOT@: the test's directory; @TMP@: a name under /tmp
    std::vector<std::string> args;  // besides -o eq.png
    int status;
    const char* message;                // must appear on stderr
    std::vector<std::string> left;  // what work_dir holds afterwards
    const char* absent = nullptr;   // must not appear on stderr
};

std::ostream& operator<<(std::ostream& os, const hostile_case& c) {
    return os << c.name;
}

const std::vector<std::string> image = {"eq.png"}, log = {"eq.log"}, dvi = {"eq.dvi"}, none = {};

const hostile_case hostile_cases[] = {
    {"input_absolute", "\\input{@ROOT@/secret.txt}", {}, 1, "\nError running LaTeX\n", log},
    {"input_parent", "\\input{../secret.txt}", {}, 1, "\nError running LaTeX\n", log},
    {"input_caret_escapes", "\\input{^^2e^^2e^^2fsecret.txt}", {}, 1, "\nError running LaTeX\n", log},
    {"input_environment", "./secret.txt", {"-e", "input"}, 1, "\nError running LaTeX\n", log},
    {"openin_absolute", "\\newread\\r\\openin\\r=@ROOT@/secret.txt \\ifeof\\r x\\else\\errmessage{LEAKED}\\fi",
     {}, 0, "", image},
    {"openin_parent", "\\newread\\r\\openin\\r=../secret.txt \\ifeof\\r x\\else\\errmessage{LEAKED}\\fi",
     {}, 0, "", image},
    {"psfile_absolute", "x\\special{psfile=@ROOT@/secret.eps}", {}, 1, "\nError running dvips\n", dvi},
    {"psfile_parent", "x\\special{psfile=../secret.eps}", {}, 1, "\nError running dvips\n", dvi},
    {"psfile_caret_escapes", "x\\special{psfile=^^2e^^2e/secret.eps}", {}, 1, "\nError running dvips\n", dvi},
    {"plotfile_absolute", "x\\special{ps: plotfile @ROOT@/secret.eps}", {}, 1, "\nError running dvips\n", dvi},
    {"raw_postscript_runs_file", "x\\special{\" (@ROOT@/secret.eps) run}", {}, 1,
     "\nError reading 'eq.ps.png'\n", none},
    {"raw_postscript_reads_file", "x\\special{\" (@ROOT@/secret.txt) (r) file pop}", {}, 1,
     "\nError reading 'eq.ps.png'\n", none},
    {"raw_postscript_writes_tmp", "x\\special{\" (@TMP@) (w) file closefile}", {}, 1,
     "\nError reading 'eq.ps.png'\n", none},
    {"raw_postscript_writes_beside", "x\\special{\" (@ROOT@/pwned) (w) file closefile}", {}, 1,
     "\nError reading 'eq.ps.png'\n", none},
    {"write18_immediate", "\\immediate\\write18{touch @ROOT@/pwned}x", {}, 0, "", image},
    {"write18_shipout", "\\write18{touch @ROOT@/pwned}x", {}, 0, "", image},
    {"openout_absolute", "\\immediate\\openout5=@ROOT@/pwned \\immediate\\write5{x}x", {}, 1,
     "\nError running LaTeX\n", log},
    {"openout_parent", "\\immediate\\openout5=../pwned \\immediate\\write5{x}x", {}, 1,
     "\nError running LaTeX\n", log},
    // A file the formula writes under the rendering's name is never read.
    {"openout_fake_rendering",
     "\\immediate\\openout5=formula.ps.png \\immediate\\write5{junk}\\immediate\\closeout5 "
     "x\\special{\" (nofile) (r) file}",
     {}, 1, "\nError reading 'eq.ps.png'\n", none, "libpng"},
    {"tex_loop", "\\def\\x{\\x}\\x", {}, 1, "latex was stopped: the time limit of 3 seconds was reached\n", log},
    {"postscript_loop", "x\\special{\" {} loop}", {}, 1,
     "\nError running Ghostscript\ngs was stopped: the time limit of 3 seconds was reached\n", none},
    {"message_loop", "\\def\\m{\\message{0123456789012345678901234567890123456789}\\m}\\m", {}, 1,
     "\nError running LaTeX\n", log},
    {"document_ends_early", "x\\end{displaymath}\\end{document} anything \\undefined", {}, 0, "", image},
    {"catcode_change", "\\catcode`\\\\=12 x", {}, 1, "\nError running LaTeX\n! Emergency stop.\n", log},
    {"errorstopmode", "\\errorstopmode \\undefined", {}, 1,
     "\nError running LaTeX\n! Undefined control sequence.\n", log},
    {"nul_and_invalid_utf8", std::string("x\0y\xff\xfe", 5), {}, 1,
     "\nError running LaTeX\n! Text line contains an invalid character.\n", log},
    {"empty", "", {}, 0, "", image},
    // Wider than TeX can place: the formula's ink starts left of the mark,
    // which is still told apart from it.
    {"very_long", replace_all(std::string(20000, 'Q'), "Q", "x_1+\n"), {}, 0, "", image},
    {"long_but_fine", replace_all(std::string(2000, 'Q'), "Q", "x_1+\n"), {}, 0, "", image},
};

class Hostile : public testing::TestWithParam<hostile_case> {};

TEST_P(Hostile, StaysInsideItsDirectory) {
    const hostile_case& c = GetParam();
    temp_dir root;
    const std::string work = root.file("work");
    mkdir(work.c_str(), 0755);
    mkdir(root.file("outside").c_str(), 0755);
    write_file(root.file("secret.txt"), "SECRET\n");
    write_file(root.file("secret.eps"),
               "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 20 20\n0 0 20 20 rectfill\n");
    write_file(root.file("outside/user.tex"), "keep me\n");
    const std::string tmp_target = "/tmp/mathrast-pwned-" + std::to_string(getpid()) + "-" + c.name;
    std::map<std::string, std::string> before, after;
    snapshot(root.path, work, before);

    std::vector<std::string> args = {short_limit_binary, "-o", "eq.png"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const std::string formula =
        replace_all(replace_all(c.formula, "@ROOT@", root.path), "@TMP@", tmp_target);
    auto start = std::chrono::steady_clock::now();
    run_output r = run_program(args, formula, work);
    auto took = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("LEAKED"), std::string::npos);
    if (c.absent) {
        EXPECT_EQ(r.err.find(c.absent), std::string::npos) << r.err;
    }
    EXPECT_EQ(r.err.find("SECRET"), std::string::npos);
    EXPECT_EQ(list_dir(work), c.left);
    snapshot(root.path, work, after);
    EXPECT_EQ(after, before) << "a file outside the work directory appeared or changed";
    EXPECT_FALSE(file_exists(tmp_target));
    unlink(tmp_target.c_str());
    EXPECT_TRUE(processes_in(root.path).empty());
    EXPECT_LT(took, std::chrono::seconds(3 * MATHRAST_SHORT_LIMIT_SECONDS + 5));
}

INSTANTIATE_TEST_SUITE_P(Formulas, Hostile, testing::ValuesIn(hostile_cases),
                         [](const testing::TestParamInfo<hostile_case>& param_info) {
                             return std::string(param_info.param.name);
                         });

TEST(Sandbox, UserFilesRelativeToTheWorkDirectoryStillWork) {
    temp_dir dir;
    mkdir(dir.file("styles").c_str(), 0755);
    write_file(dir.file("macros.tex"), "\\newcommand{\\myfoo}{\\alpha+\\beta}\n");
    write_file(dir.file("styles/mine.sty"), "\\newcommand{\\mybar}{\\gamma}\n");
    write_file(dir.file("box.eps"), "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 20 20\n0 0 20 20 rectfill\n");
    run_output r = run_program({binary, "-p", "\\input{macros}\\usepackage{mine}", "-o", "eq.png"},
                               "\\myfoo\\mybar x\\special{psfile=box.eps}\\hspace{1cm}", dir.path,
                               {"TEXINPUTS=styles:"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"box.eps", "eq.png", "macros.tex", "styles"}));
}

TEST(Sandbox, UsersOwnWorkFileNamesSurvive) {
    temp_dir dir;
    const std::vector<std::string> mine = {"eq1.aux", "eq1.dvi", "eq1.ps", "eq1.ps.png", "eq1.tex",
                                           "formula.tex", "noname.log", "noname.tex"};
    for (const auto& name : mine)
        write_file(dir.file(name), "user's own " + name + "\n");
    run_output ok = run_program({binary, "-o", "eq1.png"}, "x^2", dir.path);
    ASSERT_EQ(ok.status, 0) << ok.err;
    run_output to_stdout = run_program({binary}, "x^2", dir.path);
    ASSERT_EQ(to_stdout.status, 0) << to_stdout.err;
    // A failing run replaces only the log it reports.
    run_output bad = run_program({binary, "-o", "eq1.png"}, "\\undefined", dir.path);
    ASSERT_EQ(bad.status, 1);
    for (const auto& name : mine)
        EXPECT_EQ(read_file(dir.file(name)), "user's own " + name + "\n") << name;
    std::vector<std::string> expected = mine;
    expected.insert(expected.begin() + 2, {"eq1.log", "eq1.png"});
    EXPECT_EQ(list_dir(dir.path), expected);
}

TEST(Concurrency, ParallelRunsInOneDirectoryMatchLoneRuns) {
    const std::vector<std::string> formulas = {
        "x^2", "\\frac{a}{b}", "\\sqrt{2}", "\\sum_{i=1}^n i", "e^{i\\pi}+1=0", "\\alpha\\beta\\gamma",
        "\\int_0^1 f", "\\left(\\frac{1}{2}\\right)",
    };
    temp_dir alone, shared;
    std::vector<std::string> expected;
    for (const auto& f : formulas) {
        run_output r = run_program({binary}, f, alone.path);
        ASSERT_EQ(r.status, 0) << r.err;
        expected.push_back(r.out + "|" + r.err);
    }
    for (int round = 0; round < 2; ++round) {
        std::vector<std::future<run_output>> runs;
        for (const auto& f : formulas)
            runs.push_back(std::async(std::launch::async, [&, f] { return run_program({binary}, f, shared.path); }));
        for (std::size_t i = 0; i < runs.size(); ++i) {
            run_output r = runs[i].get();
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out + "|" + r.err, expected[i]) << formulas[i];
        }
    }
    // Same output name from every run: one complete image wins.
    std::vector<std::future<run_output>> runs;
    for (const auto& f : formulas)
        runs.push_back(std::async(std::launch::async, [&, f] {
            return run_program({binary, "-o", "eq.png"}, f, shared.path);
        }));
    std::vector<std::string> reports;
    for (auto& run : runs) {
        run_output r = run.get();
        EXPECT_EQ(r.status, 0);
        reports.push_back(r.out);
    }
    EXPECT_TRUE(decode_png(read_file(shared.file("eq.png"))).ok);
    EXPECT_EQ(list_dir(shared.path), std::vector<std::string>{"eq.png"});
}

TEST(Interruption, SignalStopsTheRunAndCleansUp) {
    for (const char* signal_name : {"TERM", "INT", "HUP"}) {
        SCOPED_TRACE(signal_name);
        temp_dir dir;
        const auto start = std::chrono::steady_clock::now();
        // A formula that loops for ever; the signal comes while latex runs.
        run_output r = run_program(
            {"bash", "-c",
             "printf '%s' '\\def\\x{\\x}\\x' | \"$0\" -o eq.png & pid=$!; sleep 1; kill -" +
                 std::string(signal_name) + " $pid; wait $pid; echo $?",
             binary},
            "", dir.path);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.out, "1\n");
        EXPECT_NE(r.err.find("Interrupted by signal"), std::string::npos) << r.err;
        EXPECT_LT(took, std::chrono::seconds(10));
        EXPECT_TRUE(list_dir(dir.path).empty());
        EXPECT_TRUE(processes_in(dir.path).empty());
    }
}

}  // namespace
