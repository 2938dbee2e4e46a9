#include "document.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "file_ptr.h"
#include "process.h"

namespace {

// Up to and with \begin{document}.
std::string document_start(const std::string& preamble) {
    return "\\nonstopmode\n"
           "\\documentclass[12pt]{article}\n"
           "\\pagestyle{empty}\n" +
           preamble + "\n\\begin{document}\n";
}

// The environment's opening and the baseline mark. The empty opening atom
// after the mark makes TeX space the formula's first atom as at the start of
// a formula (a leading minus is unary); in a text environment it is nothing.
std::string formula_opening(const std::string& environment) {
    return "\\begin{" + environment + "}\n.\\ifmmode\\mathopen{}\\fi ";
}

// The environment's end, on the formula's last line.
std::string formula_closing(const std::string& environment) {
    return "\\end{" + environment + "}\n";
}

}  // namespace

std::string document_head(const std::string& preamble, const std::string& environment) {
    return document_start(preamble) + formula_opening(environment);
}

std::string document_tail(const std::string& environment) {
    return formula_closing(environment) + "\\end{document}\n";
}

std::string shared_document(const std::string& preamble, const std::vector<document_page>& pages) {
    std::string text = document_start(preamble);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        text += "\\setcounter{page}{" + std::to_string(i + 1) + "}\\setcounter{equation}{0}\n";
        text += formula_opening(pages[i].environment) + pages[i].formula +
                formula_closing(pages[i].environment) + "\\clearpage\n";
    }
    return text + "\\end{document}\n";
}

step_failure write_text_file(const std::string& path, const std::string& text) {
    file_ptr file(std::fopen(path.c_str(), "wb"));
    if (!file)
        return failure{std::string("\nCannot create the LaTeX document: ") + std::strerror(errno) +
                       "\n"};
    const bool ok = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                    std::fflush(file.get()) == 0;
    if (std::fclose(file.release()) != 0 || !ok)
        return failure{std::string("\nCannot write the LaTeX document: ") +
                       std::strerror(errno ? errno : EIO) + "\n"};
    return std::nullopt;
}

namespace {

bool write_all(std::FILE* f, const std::string& s) {
    return std::fwrite(s.data(), 1, s.size(), f) == s.size();
}

enum class copy_result { done, read_failed, write_failed };

copy_result copy_formula(int in, std::FILE* out, std::string& read_error) {
    std::vector<char> buffer(65536);
    for (;;) {
        ssize_t got = read(in, buffer.data(), buffer.size());
        if (got == 0)
            return copy_result::done;
        if (got < 0) {
            if (errno == EINTR && !interrupt_signal())
                continue;
            if (!interrupt_signal())
                read_error = std::string("\nCannot read the formula from standard input: ") +
                             std::strerror(errno) + "\n";
            return copy_result::read_failed;
        }
        if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), out) !=
            static_cast<std::size_t>(got))
            return copy_result::write_failed;
    }
}

}  // namespace

step_failure write_document(const std::string& path, const std::string& preamble,
                            const std::string& environment, int formula_in) {
    file_ptr doc(std::fopen(path.c_str(), "wb"));
    if (!doc)
        return failure{std::string("\nCannot create the LaTeX document: ") +
                       std::strerror(errno) + "\n"};
    errno = 0;
    std::string read_error;
    copy_result copied = write_all(doc.get(), document_head(preamble, environment))
                             ? copy_formula(formula_in, doc.get(), read_error)
                             : copy_result::write_failed;
    if (copied == copy_result::read_failed)
        return failure{read_error};
    bool ok = copied == copy_result::done && write_all(doc.get(), document_tail(environment)) &&
              std::fflush(doc.get()) == 0;
    int closed = std::fclose(doc.release());
    if (!ok || closed != 0)
        return failure{std::string("\nCannot write the LaTeX document: ") +
                       std::strerror(errno ? errno : EIO) + "\n"};
    return std::nullopt;
}
