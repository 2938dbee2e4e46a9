#include <gtest/gtest.h>

#include "batch_screen.h"

namespace {

TEST(BatchScreen, Formulas) {
    struct row {
        const char* formula;
        bool shares;
    };
    const row rows[] = {
        {"", true},
        {"x^2+y^2=z^2", true},
        {"\\frac{a}{b}\\sqrt{\\alpha_i}", true},
        {"\\int_0^\\infty e^{-x^2}\\,dx", true},
        {"\\left(\\frac{1}{2}\\right) \\cdot \\{x\\}", true},
        {"\\sum_{i=1}^{n} i \\quad \\text{for all } n", true},
        {"\\color{red}x+\\textcolor{blue}{y}", true},
        {"a\nb\n", true},
        // state that outlives the formula, or reads the run's own state
        {"\\def\\x{y}\\x", false},
        {"\\gdef\\x{y}", false},
        {"\\global\\let\\x=y", false},
        {"\\newcommand{\\x}{y}", false},
        {"\\catcode`\\@=11", false},
        {"\\setcounter{equation}{5}", false},
        {"\\stepcounter{page}x", false},
        {"\\thepage", false},
        {"\\the\\inputlineno", false},
        {"\\jobname", false},
        {"\\fontdimen2\\font=3pt", false},
        {"\\everydisplay{x}", false},
        // structure
        {"x\\end{displaymath}\\end{document}", false},
        {"x}\\begin{displaymath}", false},
        {"\\frac{a", false},
        {"x % a comment", false},
        {"\\newpage x", false},
        {"\\shipout\\hbox{x}", false},
        {"\\batchmode x", false},
        {"$x$", false},
        {"a\n\nb", false},
        {"a\n \t\nb", false},
        {"a & b \\\\ c", false},
        {"\\begin{pmatrix} a & b \\\\ c & d \\end{pmatrix}", true},
        {"\\left(\\begin{array}{cc} a & b \\end{array}\\right) & c", false},  // & outside
        {"\\begin{cases} x \\end{pmatrix}", false},
        {"\\begin{cases} x", false},
        {"\\begin{tabular}{c} x \\end{tabular}", false},
        {"\\end{displaymath}x\\begin{displaymath}", false},
        {"\\begin{cases x", false},
        // dvips and PostScript
        {"x\\special{ps: 1 0 0 setrgbcolor}", false},
        {"\\input{file}", false},
        {"#1", false},
        {"\\", false},
        {"\\@x", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(formula_may_share(r.formula, false), r.shares) << r.formula;
    EXPECT_TRUE(formula_may_share("a &= b \\\\ c &= d", true));
    job_settings align;
    align.environment = "align*";
    EXPECT_TRUE(may_share_run(align, "a &= b \\\\ c &= d"));
    EXPECT_FALSE(formula_may_share(std::string("x\0y", 3), false));
    EXPECT_FALSE(formula_may_share("x\x7f", false));
}

TEST(BatchScreen, SettingsThatNeedARunOfTheirOwn) {
    struct row {
        const char* preamble;
        const char* environment;
        int hidpi_scale;
        bool shares;
    };
    const row rows[] = {
        {"", "displaymath", 1, true},
        {"\\usepackage{amsmath}", "equation", 1, true},
        {"\\usepackage{amsmath,amssymb} \\usepackage{color}\n", "equation*", 1, true},
        {"", "math", 1, true},
        {"", "displaymath", 2, false},
        {"", "align*", 1, true},
        {"", "multline*", 1, false},
        {"", "center", 1, false},
        {"\\usepackage{tikz}", "displaymath", 1, false},
        {"\\usepackage[leqno]{amsmath}", "displaymath", 1, false},
        {"\\newcommand{\\R}{\\mathbb{R}}", "displaymath", 1, false},
        {"\\usepackage{amsmath", "displaymath", 1, false},
        {"\\usepackage{amsmath}\\pagestyle{plain}", "displaymath", 1, false},
    };
    for (const auto& r : rows) {
        job_settings s;
        s.preamble = r.preamble;
        s.environment = r.environment;
        s.hidpi_scale = r.hidpi_scale;
        EXPECT_EQ(may_share_run(s, "x"), r.shares) << r.preamble << " | " << r.environment;
    }
}

}  // namespace
