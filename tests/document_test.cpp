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
