#include <gtest/gtest.h>

#include <sstream>

#include "tex_log.h"

namespace {

std::string first_tex_error(const std::string& log) {
    std::istringstream in(log);
    return ::first_tex_error(in);
}

TEST(TexErrors, FirstErrorWithItsContext) {
    const std::string log =
        "This is pdfTeX\n(./formula.tex\nLaTeX2e <2022-11-01>\n"
        "! Undefined control sequence.\n"
        "l.7 .\\foo\n"
        "          x\n"
        "more text\n"
        "! Second error.\n";
    EXPECT_EQ(first_tex_error(log), "! Undefined control sequence.\nl.7 .\\foo\n          x\n");
    EXPECT_EQ(first_tex_error("no errors here\n"), "");
    // Control bytes and invalid UTF-8 from a hostile formula are not sent to
    // the terminal; valid UTF-8 is.
    EXPECT_EQ(first_tex_error("! Bad \x1b[31m \xff\xfe \xc3\xa9 \xc3.\nl.1 x\n\n"),
              "! Bad ?[31m ?? \xc3\xa9 ?.\nl.1 x\n\n");
    // A LaTeX error with its help text and a distant context line.
    EXPECT_EQ(first_tex_error("! LaTeX Error: \\begin{a} ended by \\end{b}.\n\nSee the LaTeX manual.\n"
                              "Type  H <return>  for immediate help.\n ...\n\nl.8 \\end{b}\n\nmore\n"),
              "! LaTeX Error: \\begin{a} ended by \\end{b}.\n\nSee the LaTeX manual.\n"
              "Type  H <return>  for immediate help.\n ...\n\nl.8 \\end{b}\n\n");
    // A context line in the last place within reach still counts.
    EXPECT_EQ(first_tex_error("! E.\n1\n2\n3\n4\n5\n6\nl.9 x\ny\nz\n"),
              "! E.\n1\n2\n3\n4\n5\n6\nl.9 x\ny\n");
    // Without a context line within a few lines, the "!" line alone.
    std::string endless = "! Emergency stop.\n";
    for (int i = 0; i < 50; ++i)
        endless += "line\n";
    EXPECT_EQ(first_tex_error(endless), "! Emergency stop.\n");
}

}  // namespace
