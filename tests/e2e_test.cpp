// End-to-end runs of the built binary with the real latex, dvips and gs.
#include <gtest/gtest.h>

#include <gif_lib.h>
#include <sys/stat.h>

#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>

#include "command_line.h"
#include "support.h"

namespace {

const std::string binary = MATHRAST_BINARY;
const std::string golden_dir = MATHRAST_GOLDEN_DIR;
const std::string formula = "\\int_0^\\infty e^{-x^2}\\,dx\n";

run_output mathrast(std::vector<std::string> args, const std::string& input, const std::string& dir,
                    const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), binary);
    return run_program(args, input, dir, env);
}

struct report {
    bool ok = false;
    int width = 0, height = 0;
    std::string align;
};

report parse_report(const std::string& line) {
    static const std::regex form(
        "WIDTH=([0-9]+) HEIGHT=([0-9]+) STYLE=\"vertical-align: (-?[0-9]+)px; margin: 0;\"");
    std::smatch m;
    report r;
    if (std::regex_match(line, m, form)) {
        r.ok = true;
        r.width = std::stoi(m[1]);
        r.height = std::stoi(m[2]);
        r.align = m[3];
    }
    return r;
}

TEST(EndToEnd, DefaultJobToAFile) {
    temp_dir dir;
    mkdir(dir.file("images").c_str(), 0755);
    run_output r = mathrast({"-o", "images/eq1.png"}, formula, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    report rep = parse_report(r.out);
    ASSERT_TRUE(rep.ok) << r.out;
    decoded_png png = decode_png(read_file(dir.file("images/eq1.png")));
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, rep.width);
    EXPECT_EQ(png.height, rep.height);
    EXPECT_EQ(png.alpha.size(), 256u);
    EXPECT_EQ(png.alpha[0], 255);
    EXPECT_EQ(png.alpha[255], 0);
    // Antialiased: more than two levels, ink and paper both present.
    std::set<uint8_t> levels(png.indices.begin(), png.indices.end());
    EXPECT_GT(levels.size(), 5u);
    EXPECT_TRUE(levels.count(0) && levels.count(255));
    // Nothing but the image is left behind.
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"images"});
    EXPECT_EQ(list_dir(dir.file("images")), std::vector<std::string>{"eq1.png"});
}

TEST(EndToEnd, DefaultJobToStdout) {
    temp_dir dir;
    run_output r = mathrast({}, formula, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    report rep = parse_report(r.err);  // the report never shares a stream with the image
    ASSERT_TRUE(rep.ok) << r.err;
    decoded_png png = decode_png(r.out);
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, rep.width);
    EXPECT_EQ(png.height, rep.height);
    EXPECT_TRUE(list_dir(dir.path).empty());
    // The same job gives the same bytes.
    EXPECT_EQ(mathrast({}, formula, dir.path).out, r.out);
}

TEST(EndToEnd, VerboseIsOneLine) {
    temp_dir dir;
    run_output r = mathrast({"-v"}, formula, dir.path);
    ASSERT_EQ(r.status, 0);
    const std::string progress = "tex -> dvi -> ps -> png -> Writing png image";
    ASSERT_EQ(r.err.substr(0, progress.size()), progress);
    EXPECT_TRUE(parse_report(r.err.substr(progress.size())).ok) << r.err;
    EXPECT_EQ(r.err.find('\n'), std::string::npos);
    run_output gif = mathrast({"-v", "-f", "gif", "-o", "x.gif"}, formula, dir.path);
    EXPECT_EQ(gif.err, "tex -> dvi -> ps -> png -> Writing gif image");
}

// Golden images: the crop, box filter and baseline worked out by
// tests/golden/make_golden.py from its own run of latex, dvips and gs.
struct golden_case {
    std::string name;
    std::vector<std::string> args;
    std::string formula;
    int width = 0, height = 0, offset = 0;
};

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

std::vector<golden_case> golden_cases() {
    std::vector<golden_case> cases;
    std::istringstream table(read_file(golden_dir + "/cases.tsv"));
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f = split(line, '\t');
        if (f.size() != 6)
            throw std::runtime_error("cases.tsv: bad line: " + line);
        golden_case c;
        c.name = f[0];
        for (const auto& word : split(f[1], ' '))
            if (!word.empty())
                c.args.push_back(word);
        c.formula = f[2];
        c.width = std::stoi(f[3]);
        c.height = std::stoi(f[4]);
        c.offset = std::stoi(f[5]);
        cases.push_back(c);
    }
    return cases;
}

// The samples of a binary PGM with maxval 255; empty when it is not one.
std::vector<uint8_t> read_pgm(const std::string& path, int* width, int* height) {
    std::istringstream in(read_file(path));
    std::string magic;
    int maxval = 0;
    in >> magic >> *width >> *height >> maxval;
    if (!in || magic != "P5" || maxval != 255 || in.get() != '\n')
        return {};
    const std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return std::vector<uint8_t>(rest.begin(), rest.end());
}

std::string first_line_of(const std::vector<std::string>& argv) {
    const std::string out = run_program(argv, "", "").out;
    return out.substr(0, out.find('\n'));
}

// One golden case; a fatal failure ends this case only.
void expect_golden(const golden_case& c) {
    int width = 0, height = 0;
    const std::vector<uint8_t> expected =
        read_pgm(golden_dir + "/" + c.name + ".pgm", &width, &height);
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    ASSERT_EQ(width, c.width);
    ASSERT_EQ(height, c.height);

    temp_dir dir;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "eq.png"});
    run_output r = mathrast(args, c.formula, dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    report rep = parse_report(r.out);
    ASSERT_TRUE(rep.ok) << r.out;
    EXPECT_EQ(rep.width, c.width);
    EXPECT_EQ(rep.height, c.height);
    EXPECT_EQ(rep.align, c.offset < 0 ? std::to_string(-c.offset) : "-" + std::to_string(c.offset));

    decoded_png png = decode_png(read_file(dir.file("eq.png")));
    ASSERT_TRUE(png.ok);
    ASSERT_EQ(png.width, c.width);
    ASSERT_EQ(png.height, c.height);
    std::size_t differing = 0, first = 0;
    for (std::size_t i = expected.size(); i-- > 0;) {
        if (png.indices[i] != expected[i]) {
            ++differing;
            first = i;
        }
    }
    const auto w = static_cast<std::size_t>(c.width);
    EXPECT_EQ(differing, 0u) << "the first differing pixel is at row " << first / w << ", column "
                             << first % w << ": " << int{png.indices[first]} << " instead of "
                             << int{expected[first]};
}

TEST(EndToEnd, MatchesTheGoldenImages) {
    const std::vector<std::string> made_with = split(read_file(golden_dir + "/VERSIONS"), '\n');
    ASSERT_EQ(made_with.size(), 2u) << "tests/golden/VERSIONS is missing or malformed";
    const std::string latex = first_line_of({"latex", "--version"});
    const std::string gs = first_line_of({"gs", "--version"});
    if (latex != made_with[0] || gs != made_with[1])
        GTEST_SKIP() << "the golden images were made with '" << made_with[0] << "' and gs "
                     << made_with[1] << ", this machine has '" << latex << "' and gs " << gs
                     << "; tests/golden/make_golden.py makes them again";

    const std::vector<golden_case> cases = golden_cases();
    ASSERT_GE(cases.size(), 6u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_golden(c);
    }
}

TEST(EndToEnd, OpaqueRampWithT) {
    temp_dir dir;
    run_output r = mathrast({"-t", "-b", "FFFFFF", "-o", "eq.png"}, "x", dir.path);
    ASSERT_EQ(r.status, 0) << r.err;
    decoded_png png = decode_png(read_file(dir.file("eq.png")));
    ASSERT_TRUE(png.ok);
    ASSERT_EQ(png.palette.size(), 768u);
    for (std::size_t i = 0; i < 256; ++i) {
        EXPECT_EQ(png.palette[3 * i], i);
        EXPECT_EQ(png.alpha[i], 255);
    }
}

TEST(EndToEnd, LatexError) {
    temp_dir dir;
    run_output r = mathrast({"-o", "eq.png"}, "\\frac{1}{\\undefinedthing x}", dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("\nError running LaTeX\n! Undefined control sequence.\n", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nl.7 "), std::string::npos) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    // The log is kept for the user, nothing else.
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"eq.log"});
    EXPECT_NE(read_file(dir.file("eq.log")).find("Undefined control sequence"), std::string::npos);
}

TEST(EndToEnd, MissingDirectory) {
    temp_dir dir;
    run_output r = mathrast({"-o", "nowhere/eq.png"}, formula, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nCannot change to directory 'nowhere'\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(list_dir(dir.path).empty());

    // A directory where nothing can be created, even by root.
    run_output ro = mathrast({"-o", "/proc/eq.png"}, formula, dir.path);
    EXPECT_EQ(ro.status, 1);
    EXPECT_EQ(ro.err.rfind("\nCannot make a work directory in the output directory: ", 0), 0u) << ro.err;
    EXPECT_EQ(ro.err.back(), '\n');
}

// A name without a file part is refused before any work, not after it.
TEST(EndToEnd, OutputNameWithoutAFile) {
    temp_dir dir;
    mkdir(dir.file("sub").c_str(), 0755);
    for (const char* name : {"sub/", ""}) {
        SCOPED_TRACE(name);
        run_output r = mathrast({"-o", name}, "\\undefined", dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("\nNo file name in output name '") + name + "'\n");
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"sub"});
        EXPECT_TRUE(list_dir(dir.file("sub")).empty());
    }
}

TEST(EndToEnd, UsageErrorsAndHelp) {
    temp_dir dir;
    const std::string help = ::help_text();
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"-q"}, {"-o"}, {"eq.png"}, {"-o", "a.png", "extra"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        run_output r = mathrast(args, formula, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_GE(r.err.size(), help.size());
        EXPECT_EQ(r.err.substr(r.err.size() - help.size()), help);
    }
    // A usage error with an input larger than a pipe: the run ends without
    // reading it, and the caller's write fails rather than killing it.
    run_output big = mathrast({"-q"}, std::string(1 << 20, 'x'), dir.path);
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(big.out, "");
    run_output h = mathrast({"-h"}, "", dir.path);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out, help);
    run_output f = mathrast({"-f", "?"}, "", dir.path);
    EXPECT_EQ(f.status, 0);
    EXPECT_EQ(f.out, "Supported image formats: png, gif\n");
    run_output u = mathrast({"-f", "jpg"}, "", dir.path);
    EXPECT_EQ(u.status, 1);
    EXPECT_EQ(u.err, "\nUnknown format 'jpg'\n");
    EXPECT_TRUE(list_dir(dir.path).empty());
}

TEST(EndToEnd, OddOutputNames) {
    const std::string names[] = {
        "-x.png", "a b;c'd\"e$(f)\\g \xc3\xa9.png", "no extension", "eq.tar.png", "--", "formula.png",
    };
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        temp_dir dir;
        run_output r = mathrast({"-o", name}, "x_1", dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(parse_report(r.out).ok);
        EXPECT_TRUE(decode_png(read_file(dir.file(name))).ok);
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{name});
    }
}

TEST(EndToEnd, WriteFailureIsReported) {
    temp_dir dir;
    run_output r = run_program({"sh", "-c", "printf x | \"$0\" > /dev/full", binary}, "", dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "\nError writing image to 'stdout'\n");
    // Without its report line the image cannot be placed: a failure too.
    run_output report = run_program({"sh", "-c", "printf x | \"$0\" -o eq.png > /dev/full", binary}, "", dir.path);
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(report.err, "\nError writing the report line\n");
    // A reader that has gone away is an error too, not a silent death.
    run_output p = run_program(
        {"bash", "-c", "printf x | \"$0\" | true; echo ${PIPESTATUS[1]}", binary}, "", dir.path);
    EXPECT_EQ(p.out, "1\n");
    EXPECT_EQ(p.err, "\nError writing image to 'stdout'\n");
}

// Stand-ins on PATH for the failure paths of programs that exist.
struct fake_path {
    temp_dir bin;
    explicit fake_path(std::initializer_list<std::pair<const char*, const char*>> scripts) {
        for (const char* real : {"latex", "dvips", "gs"})
            symlink(("/usr/bin/" + std::string(real)).c_str(), bin.file(real).c_str());
        for (const auto& [name, body] : scripts) {
            unlink(bin.file(name).c_str());
            write_file(bin.file(name), std::string("#!/bin/sh\n") + body + "\n");
            chmod(bin.file(name).c_str(), 0755);
        }
    }
    std::string env() const { return "PATH=" + bin.path + ":/usr/bin:/bin"; }
};

TEST(EndToEnd, ToolFailures) {
    {
        fake_path path({{"dvips", "exit 1"}});
        temp_dir dir;
        run_output r = mathrast({"-o", "eq.png"}, "x", dir.path, {path.env()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nError running dvips\n");
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"eq.dvi"});
    }
    {
        fake_path path({{"gs", "echo 'gs noise on stdout'; exit 1"}});
        temp_dir dir;
        run_output r = mathrast({}, "x", dir.path, {path.env()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");  // gs's stdout never reaches ours
        EXPECT_EQ(r.err, "gs noise on stdout\n\nError reading 'noname.ps.png'\n");
        EXPECT_TRUE(list_dir(dir.path).empty());
    }
    {   // gs missing altogether: no broken pipe kills the run
        temp_dir bin;
        for (const char* real : {"latex", "dvips"})
            symlink(("/usr/bin/" + std::string(real)).c_str(), bin.file(real).c_str());
        temp_dir dir;
        run_output r = mathrast({"-o", "eq.png"}, "x", dir.path, {"PATH=" + bin.path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nError reading 'eq.ps.png'\n");
        EXPECT_TRUE(list_dir(dir.path).empty());
    }
    {   // latex missing
        temp_dir empty_bin, dir;
        run_output r = mathrast({"-o", "eq.png"}, "x", dir.path, {"PATH=" + empty_bin.path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("\nError running LaTeX\n", 0), 0u) << r.err;
        EXPECT_TRUE(list_dir(dir.path).empty());
    }
    {   // a PostScript file without a bounding box: gs is never started
        fake_path path({{"dvips", "printf '%%!PS\\n' > formula.ps"}, {"gs", "touch /dev/null; echo started >&2"}});
        temp_dir dir;
        run_output r = mathrast({"-o", "eq.png"}, "x", dir.path, {path.env()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nNo bounding box in the PostScript output of dvips\n");
        EXPECT_TRUE(list_dir(dir.path).empty());
    }
}

TEST(EndToEnd, RenderSizeLimits) {
    temp_dir dir;
    run_output r = mathrast({"-r", "2000000000", "-o", "eq.png"}, "x", dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("lower -r or -s"), std::string::npos) << r.err;
    EXPECT_TRUE(list_dir(dir.path).empty());
}

std::vector<uint8_t> gif_pixels(const std::string& path, int* w, int* h, bool* transparent) {
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    std::vector<uint8_t> pixels;
    if (gif && DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1) {
        const SavedImage& img = gif->SavedImages[0];
        *w = img.ImageDesc.Width;
        *h = img.ImageDesc.Height;
        pixels.assign(img.RasterBits,
                      img.RasterBits + static_cast<std::size_t>(*w) * static_cast<std::size_t>(*h));
        GraphicsControlBlock gcb;
        *transparent = DGifSavedExtensionToGCB(gif, 0, &gcb) == GIF_OK && gcb.TransparentColor == 255;
    }
    if (gif)
        DGifCloseFile(gif, &error);
    return pixels;
}

TEST(EndToEnd, GifOutput) {
    temp_dir dir;
    ASSERT_EQ(mathrast({"-o", "ref.png"}, formula, dir.path).status, 0);
    decoded_png ref = decode_png(read_file(dir.file("ref.png")));
    ASSERT_TRUE(ref.ok);

    struct job {
        std::vector<std::string> args;
        const char* file;  // nullptr: stdout
        bool transparent;
    };
    const job jobs[] = {
        {{"-f", "gif", "-o", "eq.gif"}, "eq.gif", true},
        {{"-f", "gif", "-t", "-o", "t.gif"}, "t.gif", false},
        {{"-o", "eq.png", "-f", "gif"}, "eq.png", true},  // the extension chooses nothing
        {{"-f", "gif"}, nullptr, true},
    };
    for (const auto& j : jobs) {
        SCOPED_TRACE(testing::PrintToString(j.args));
        run_output r = mathrast(j.args, formula, dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        std::string path = dir.file("stdout.gif");
        if (j.file)
            path = dir.file(j.file);
        else
            write_file(path, r.out);
        EXPECT_EQ(read_file(path).substr(0, 6), j.transparent ? "GIF89a" : "GIF87a");
        int w = 0, h = 0;
        bool transparent = false;
        EXPECT_EQ(gif_pixels(path, &w, &h, &transparent), ref.indices);
        EXPECT_EQ(w, ref.width);
        EXPECT_EQ(h, ref.height);
        EXPECT_EQ(transparent, j.transparent);
        EXPECT_TRUE(parse_report(j.file ? r.out : r.err).ok);
    }
    // Images are created like any file (0666 less the umask), so that a web
    // server can read them.
    const mode_t mask = umask(0);
    umask(mask);
    for (const char* name : {"eq.gif", "ref.png"}) {
        struct stat st;
        ASSERT_EQ(stat(dir.file(name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << name;
    }
}

}  // namespace
