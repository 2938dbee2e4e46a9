#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "document.h"
#include "support.h"

namespace {

TEST(Document, WrapsTheFormulaByteForByte) {
    EXPECT_EQ(document_head("", "displaymath"),
              "\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n\n"
              "\\begin{document}\n\\begin{displaymath}\n.\\ifmmode\\mathopen{}\\fi ");
    EXPECT_EQ(document_tail("displaymath"), "\\end{displaymath}\n\\end{document}\n");
    // Preamble and environment go in unchanged: no formatting, no escaping.
    EXPECT_EQ(document_head("\\usepackage{x}%s\n%%", "align*"),
              "\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n"
              "\\usepackage{x}%s\n%%\n\\begin{document}\n\\begin{align*}\n.\\ifmmode\\mathopen{}\\fi ");
}

TEST(Document, SharedPagesAreSetAsAloneAndNumbered) {
    EXPECT_EQ(shared_document("\\usepackage{amsmath}", {{"displaymath", "x^2"}, {"equation", "y\n"}}),
              "\\nonstopmode\n\\documentclass[12pt]{article}\n\\pagestyle{empty}\n"
              "\\usepackage{amsmath}\n\\begin{document}\n"
              "\\setcounter{page}{1}\\setcounter{equation}{0}\n"
              "\\begin{displaymath}\n.\\ifmmode\\mathopen{}\\fi x^2\\end{displaymath}\n\\clearpage\n"
              "\\setcounter{page}{2}\\setcounter{equation}{0}\n"
              "\\begin{equation}\n.\\ifmmode\\mathopen{}\\fi y\n\\end{equation}\n\\clearpage\n"
              "\\end{document}\n");
}

// The document as written through a pipe holding the formula.
std::string written(const std::string& formula, const std::string& path) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    // Small enough for the pipe's buffer, so no reader is needed yet.
    EXPECT_EQ(write(fds[1], formula.data(), formula.size()), static_cast<ssize_t>(formula.size()));
    close(fds[1]);
    step_failure f = write_document(path, "", "displaymath", fds[0]);
    close(fds[0]);
    EXPECT_FALSE(f) << f->message;
    return read_file(path);
}

TEST(Document, CopiesTheFormulaWhole) {
    temp_dir dir;
    const std::string head = document_head("", "displaymath");
    const std::string tail = document_tail("displaymath");
    const std::string formulas[] = {
        "",
        "x\n",
        std::string(256, 'a'),
        std::string(512, 'b') + "\n",
        std::string("\0\xff\r\n\x01", 5),
    };
    for (const auto& formula : formulas)
        EXPECT_EQ(written(formula, dir.file("doc.tex")), head + formula + tail);
}

// Only a fraction outside every group takes the mark, and only a formula
// that is one list (no rows, no maths of its own) can simply be braced.
TEST(Document, FractionThatTakesTheMark) {
    const std::pair<const char*, bool> cases[] = {
        {"a \\over b", true},
        {"x+1 \\choose k\n", true},
        {"\\alpha\\atop\\beta", true},
        {"a \\above 1pt b", true},
        {"a \\overwithdelims() b", true},
        {"\\left( a \\right) \\over 2", true},
        {"\\{a\\} \\over b", true},           // escaped braces are no group
        {"a \\over b % c\n", true},
        {"{a \\over b}", false},
        {"\\frac{a}{b}", false},
        {"\\left( a \\over b \\right)", false},
        {"\\begin{matrix} a \\over b \\end{matrix}", false},
        {"\\bgroup a \\over b\\egroup", false},
        {"\\overline{a} \\overbrace{b} \\atopfoo", false},  // words that only start alike
        {"a % \\over b\n", false},               // in a comment
        {"a \\over b % no line end", false},      // a closing brace would be commented out
        {"a \\over b & c", false},                // rows
        {"a \\over b \\\\ c", false},
        {"a \\over b \\cr c", false},
        {"$a \\over b$", false},                  // maths of its own
        {"a \\over b}", false},                   // unbalanced: left for TeX to report
        {"{a \\over b", false},
        {"a \\right) \\over b", false},
        // Read only when the whole formula is set: braces would undo these.
        {"\\thickmuskip=30mu a=b \\over c", false},
        {"\\setlength{\\nulldelimiterspace}{20pt} a \\over b", false},
        {"\\textfont1=\\tenrm a \\over b", false},
        {"", false},
    };
    for (const auto& [formula, expected] : cases)
        EXPECT_EQ(fraction_takes_the_mark(formula), expected) << formula;
}

// A formula longer than what is judged whole goes in as it is read, over
// several reads, with no braces even where a short one would get them.
TEST(Document, LongFormulaIsCopiedAsItComes) {
    temp_dir dir;
    const std::string formula =
        "a \\over b " + std::string(2 * formula_read_limit + 12345, 'x') + "\n";
    write_file(dir.file("formula"), formula);
    const int in = open(dir.file("formula").c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    step_failure f = write_document(dir.file("doc.tex"), "", "displaymath", in);
    close(in);
    ASSERT_FALSE(f) << f->message;
    EXPECT_TRUE(read_file(dir.file("doc.tex")) ==
                document_head("", "displaymath") + formula + document_tail("displaymath"));
}

TEST(Document, FractionIsBracedWhereTheListIsTheFormulasAlone) {
    for (const char* environment : {"displaymath", "math", "equation", "equation*"})
        EXPECT_EQ(document_formula(environment, "a\\over b\n"), "{a\\over b\n}") << environment;
    // An alignment's cell or a text environment holds more than the formula.
    for (const char* environment : {"align*", "gather", "center"})
        EXPECT_EQ(document_formula(environment, "a\\over b\n"), "a\\over b\n") << environment;
    temp_dir dir;
    EXPECT_EQ(written("a\\over b\n", dir.file("doc.tex")),
              document_head("", "displaymath") + "{a\\over b\n}" + document_tail("displaymath"));
    const std::string shared = shared_document("", {{"displaymath", "a\\over b"}});
    EXPECT_NE(shared.find("\\fi {a\\over b}\\end{displaymath}"), std::string::npos) << shared;
}

TEST(Document, Failures) {
    temp_dir dir;
    step_failure f = write_document(dir.file("no/doc.tex"), "", "displaymath", 0);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->message, "\nCannot create the LaTeX document: No such file or directory\n");
    int directory = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
    f = write_document(dir.file("doc.tex"), "", "displaymath", directory);
    close(directory);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->message, "\nCannot read the formula from standard input: Is a directory\n");
    f = write_document("/dev/full", "", "displaymath", 0);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->message.rfind("\nCannot write the LaTeX document: ", 0), 0u);
}

}  // namespace
