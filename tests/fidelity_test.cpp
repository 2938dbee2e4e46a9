// Every formula whole and spaced as TeX sets it, end to end: no ink cut off
// at the page's edges, none taken for the baseline mark, and no space from
// the mark before the formula's first atom.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "support.h"

namespace {

const std::string binary = MATHRAST_BINARY;

// The ink of an image, in render pixels, and the size of the box around it.
struct ink {
    double mass = 0;
    int width = 0, height = 0;
};

// An output image: each pixel stands for s x s render pixels, 0 all ink.
ink ink_of(const decoded_png& png, int s) {
    ink i;
    int left = png.width, right = -1, top = png.height, bottom = -1;
    for (int y = 0; y < png.height; ++y)
        for (int x = 0; x < png.width; ++x) {
            const uint8_t v = png.indices[static_cast<std::size_t>(y * png.width + x)];
            i.mass += (255.0 - v) / 255.0 * s * s;
            if (v != 255) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    i.width = (right - left + 1) * s;
    i.height = (bottom - top + 1) * s;
    return i;
}

// The formula's ink as Ghostscript renders it without the dot on a page 30
// points larger on every side, read from a raw PBM (no code of ours reads it).
ink reference_ink(const std::string& formula, const std::string& preamble,
                     const std::string& environment, int s, const std::string& dir) {
    write_file(dir + "/ref.tex", "\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n" +
                                     preamble + "\n\\begin{document}\n\\begin{" + environment +
                                     "}\n\\ifmmode\\mathopen{}\\fi " + formula + "\\end{" +
                                     environment + "}\n\\end{document}\n");
    if (run_program({"latex", "ref.tex"}, "", dir).status != 0 ||
        run_program({"dvips", "-q", "-E", "-o", "ref.ps", "ref.dvi"}, "", dir).status != 0)
        return {};
    int llx, lly, urx, ury;
    const std::string ps = read_file(dir + "/ref.ps");
    const std::size_t at = ps.find("%%BoundingBox:");
    if (at == std::string::npos ||
        std::sscanf(ps.c_str() + at, "%%%%BoundingBox: %d %d %d %d", &llx, &lly, &urx, &ury) != 4)
        return {};
    // A generous page: 30 points more on every side.
    const int r = 100 * s, margin = 30;
    const int w = (urx - llx + 2 * margin) * r / 72, h = (ury - lly + 2 * margin) * r / 72;
    run_program({"gs", "-dSAFER", "-dBATCH", "-sDEVICE=pbmraw", "-sOutputFile=ref.pbm",
                 "-r" + std::to_string(r), "-g" + std::to_string(w) + "x" + std::to_string(h), "-q",
                 "-c", std::to_string(llx - margin) + " neg " + std::to_string(lly - margin) +
                           " neg translate",
                 "-f", "ref.ps"},
                "", dir);
    const std::string pbm = read_file(dir + "/ref.pbm");
    // "P4", comment lines, width and height, one blank, then rows of bits, 1 ink.
    std::size_t data = 2;
    int fields[2] = {0, 0};
    for (int& field : fields) {
        while (data < pbm.size() && (std::isspace(static_cast<unsigned char>(pbm[data])) || pbm[data] == '#'))
            data = pbm[data] == '#' ? pbm.find('\n', data) : data + 1;
        while (data < pbm.size() && std::isdigit(static_cast<unsigned char>(pbm[data])))
            field = field * 10 + (pbm[data++] - '0');
    }
    ++data;
    if (pbm.compare(0, 2, "P4") != 0 || fields[0] != w || fields[1] != h || data > pbm.size())
        return {};
    const std::size_t row_bytes = static_cast<std::size_t>((w + 7) / 8);
    ink i;
    int left = w, right = -1, top = h, bottom = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto byte = static_cast<unsigned char>(
                pbm[data + static_cast<std::size_t>(y) * row_bytes + static_cast<std::size_t>(x / 8)]);
            if (byte & (0x80 >> (x % 8))) {
                i.mass += 1;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    i.width = right - left + 1;
    i.height = bottom - top + 1;
    return i;
}

struct whole_case {
    const char* formula;
    const char* preamble;
    const char* environment;
};

TEST(Fidelity, EveryFormulaKeepsAllItsInk) {
    const whole_case cases[] = {
        {"\\int", "", "displaymath"},
        {"\\iint", "\\usepackage{amsmath}", "displaymath"},
        {"\\textstyle \\oint \\int", "", "displaymath"},
        {"\\int\\limits_{Q_{j}}^{}", "", "displaymath"},
        {"\\Leftarrow, \\nLeftarrow, \\Longleftarrow \\!", "\\usepackage{amssymb}", "displaymath"},
        {"\\dot{\\vec{B}}", "", "displaymath"},
        {"\\hat{}", "", "displaymath"},
        {"\\!x", "", "displaymath"},
        {"\\kern-2pt x", "", "displaymath"},
        {"\\mkern-3mu x", "", "displaymath"},
        {"\\llap{x}", "", "displaymath"},
        {"x &= 1 \\\\ yyyy &= 2", "\\usepackage{amsmath}", "align*"},
        {"x^2+y^2=z^2", "", "displaymath"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.formula);
        temp_dir dir;
        run_output r = run_program({binary, "-p", c.preamble, "-e", c.environment, "-o", "eq.png"},
                                   c.formula, dir.path);
        ASSERT_EQ(r.status, 0) << r.err;
        decoded_png png = decode_png(read_file(dir.file("eq.png")));
        ASSERT_TRUE(png.ok);
        const ink expected = reference_ink(c.formula, c.preamble, c.environment, 4, dir.path);
        ASSERT_GT(expected.mass, 0);
        const ink got = ink_of(png, 4);
        // The same ink: its box as wide and high (up to the output pixel
        // that a different sub-pixel position may take), and its mass close
        // (thin strokes in one bit vary by some percent with the position).
        EXPECT_GE(got.width, expected.width - 4);
        EXPECT_GE(got.height, expected.height - 4);
        EXPECT_GT(got.mass, 0.85 * expected.mass);
    }
}

// Formulas that the mark must leave as TeX sets them alone, each with an
// equivalent that the mark never touched: image bytes and report line equal.
TEST(Fidelity, SetAsTypesetAlone) {
    struct equivalent_case {
        const char* formula;
        const char* environment;
        const char* equivalent;
    };
    const equivalent_case cases[] = {
        // A leading binary operator, relation, operator or \left is spaced as
        // at the start of a formula: as the same formula in braces.
        {"-x", "displaymath", "{-x}"},
        {"+1", "displaymath", "{+1}"},
        {"= 5", "displaymath", "{= 5}"},
        {"\\sum_i x_i", "displaymath", "{\\sum_i x_i}"},
        {"\\left(\\frac{a}{b}\\right)", "displaymath", "{\\left(\\frac{a}{b}\\right)}"},
        // A fraction at the top level (\over and its kin) does not take the
        // mark into its numerator.
        {"a \\over b", "displaymath", "\\frac{a}{b}"},
        {"1 \\over 2", "math", "\\frac{1}{2}"},
        {"x+1 \\over y^2\n", "equation", "\\frac{x+1}{y^2}\n"},
        {"n \\choose k", "displaymath", "{n \\choose k}"},
        {"\\alpha \\atop \\beta % below\n", "displaymath", "{\\alpha \\atop \\beta}"},
    };
    for (const equivalent_case& c : cases) {
        SCOPED_TRACE(c.formula);
        temp_dir dir;
        run_output bare = run_program({binary, "-e", c.environment, "-o", "bare.png"}, c.formula, dir.path);
        run_output equivalent = run_program({binary, "-e", c.environment, "-o", "equivalent.png"},
                                            c.equivalent, dir.path);
        ASSERT_EQ(bare.status, 0) << bare.err;
        ASSERT_EQ(equivalent.status, 0) << equivalent.err;
        EXPECT_EQ(bare.out, equivalent.out);
        EXPECT_EQ(read_file(dir.file("bare.png")), read_file(dir.file("equivalent.png")));
    }
}

}  // namespace
