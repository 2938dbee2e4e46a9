// End-to-end runs of the built binary with the real latex, dvips and gs.
#include <gtest/gtest.h>

#include <gif_lib.h>
#include <sys/stat.h>

#include <regex>

#include "bitmap.h"
#include "command_line.h"
#include "support.h"

namespace {

const std::string binary = MATHRAST_BINARY;
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

// The pixels, size and offset are those of the documented algorithm applied
// to Ghostscript's own rendering of the same document.
TEST(EndToEnd, AgreesWithTheRenderingOfTheToolChain) {
    const std::pair<std::string, std::vector<std::string>> jobs[] = {
        {"x^2+y^2=z^2", {}},
        {"\\frac{a}{b}\\sqrt{\\alpha_i}", {"-s", "3", "-r", "150"}},
        {"\\sum_{n=1}^N n", {"-s", "1"}},
        {"g", {"-r", "72", "-s", "5"}},
    };
    for (const auto& [text, args] : jobs) {
        SCOPED_TRACE(text);
        temp_dir dir;
        int s = 4, res = 100;
        for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
            if (args[i] == "-s")
                s = std::stoi(args[i + 1]);
            if (args[i] == "-r")
                res = std::stoi(args[i + 1]);
        }
        std::vector<std::string> with_output = args;
        with_output.insert(with_output.end(), {"-o", "eq.png"});
        run_output r = mathrast(with_output, text, dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        report rep = parse_report(r.out);
        ASSERT_TRUE(rep.ok);

        // The reference: the same document through the same programs by hand.
        write_file(dir.file("ref.tex"),
                   "\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n\n"
                   "\\begin{document}\n\\begin{displaymath}\n." + text +
                       "\\end{displaymath}\n\\end{document}\n");
        ASSERT_EQ(run_program({"latex", "ref.tex"}, "", dir.path).status, 0);
        ASSERT_EQ(run_program({"dvips", "-q", "-E", "-o", "ref.ps", "ref.dvi"}, "", dir.path).status, 0);
        run_output bb = run_program({"grep", "%BoundingBox", "ref.ps"}, "", dir.path);
        int llx, lly, urx, ury;
        ASSERT_EQ(std::sscanf(bb.out.c_str(), "%%%%BoundingBox: %i %i %i %i", &llx, &lly, &urx, &ury), 4);
        const int w = s * ((urx - llx) * res / 72 + 1), h = s * ((ury - lly) * res / 72 + 1);
        ASSERT_EQ(run_program({"gs", "-sDEVICE=pngmono", "-sOutputFile=ref.ps.png",
                               "-r" + std::to_string(res * s),
                               "-g" + std::to_string(w) + "x" + std::to_string(h), "-q", "-", "ref.ps"},
                              std::to_string(llx) + " neg " + std::to_string(lly) + " neg translate\n",
                              dir.path)
                      .status,
                  0);
        auto rendered = read_rendered_png(dir.file("ref.ps.png").c_str());
        ASSERT_TRUE(rendered);
        auto expected = crop_and_downsample(rendered->bitmap, s);
        ASSERT_TRUE(expected);

        decoded_png png = decode_png(read_file(dir.file("eq.png")));
        ASSERT_TRUE(png.ok);
        EXPECT_EQ(png.width, expected->image.width);
        EXPECT_EQ(png.height, expected->image.height);
        std::vector<uint8_t> pixels;
        for (const auto& row : expected->image.rows)
            pixels.insert(pixels.end(), row.begin(), row.end());
        EXPECT_EQ(png.indices, pixels);
        EXPECT_EQ(rep.width, expected->image.width);
        EXPECT_EQ(rep.height, expected->image.height);
        const int offset = expected->baseline_offset;
        EXPECT_EQ(rep.align, offset < 0 ? std::to_string(-offset) : "-" + std::to_string(offset));
        if (s == 1) {
            std::set<uint8_t> levels(png.indices.begin(), png.indices.end());
            EXPECT_EQ(levels, (std::set<uint8_t>{0, 255}));
        }
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
        pixels.assign(img.RasterBits, img.RasterBits + static_cast<std::size_t>(*w * *h));
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
