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

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Environments whose maths is the formula's own list and nothing else, so
// that braces around the formula change only where the mark goes.
bool is_single_list(const std::string& environment) {
    return environment == "displaymath" || environment == "math" || environment == "equation" ||
           environment == "equation*";
}

}  // namespace

bool fraction_takes_the_mark(const std::string& formula) {
    static const char* const fractions[] = {"over",  "atop",  "above",          "choose",
                                            "brace", "brack", "overwithdelims", "atopwithdelims",
                                            "abovewithdelims"};
    // Parameters that TeX reads only when the whole formula is set: braces
    // would undo an assignment to them before it is used.
    static const char* const read_at_the_end[] = {
        "nulldelimiterspace", "scriptspace", "thinmuskip", "medmuskip", "thickmuskip",
        "delimiterfactor", "delimitershortfall", "mathsurround", "binoppenalty", "relpenalty",
        "textfont", "scriptfont", "scriptscriptfont"};
    int depth = 0;
    bool fraction = false;
    for (std::size_t i = 0; i < formula.size();) {
        const char c = formula[i];
        if (c == '%') {
            i = formula.find('\n', i);
            if (i == std::string::npos)
                return false;  // a closing brace would be commented out
            continue;
        }
        if (c == '{' || c == '}') {
            depth += c == '{' ? 1 : -1;
            if (depth < 0)
                return false;
            ++i;
            continue;
        }
        if ((c == '&' || c == '$') && depth == 0)
            return false;  // rows or maths of its own: not one list
        if (c != '\\') {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        while (end < formula.size() && is_letter(formula[end]))
            ++end;
        if (end == i + 1) {  // a control symbol: \\, \{, \%, ...
            if (depth == 0 && end < formula.size() && formula[end] == '\\')
                return false;
            i = end + 1;
            continue;
        }
        const std::string word = formula.substr(i + 1, end - i - 1);
        for (const char* parameter : read_at_the_end)
            if (word == parameter)
                return false;
        if (word == "left" || word == "begin" || word == "bgroup")
            ++depth;
        else if (word == "right" || word == "end" || word == "egroup")
            --depth;
        else if (depth == 0 && (word == "cr" || word == "crcr"))
            return false;
        else if (depth == 0)
            for (const char* f : fractions)
                fraction = fraction || word == f;
        if (depth < 0)
            return false;
        i = end;
    }
    return fraction && depth == 0;
}

std::string document_formula(const std::string& environment, const std::string& formula) {
    if (is_single_list(environment) && fraction_takes_the_mark(formula))
        return "{" + formula + "}";
    return formula;
}

std::string document_head(const std::string& preamble, const std::string& environment) {
    return document_start(preamble) + formula_opening(environment);
}

std::string document_tail(const std::string& environment) {
    return formula_closing(environment) + "\\end{document}\n";
}

std::string document_text(const std::string& preamble, const std::string& environment,
                          const std::string& formula) {
    return document_head(preamble, environment) + document_formula(environment, formula) +
           document_tail(environment);
}

std::string shared_document(const std::string& preamble, const std::vector<document_page>& pages) {
    std::string text = document_start(preamble);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        text += "\\setcounter{page}{" + std::to_string(i + 1) + "}\\setcounter{equation}{0}\n";
        text += formula_opening(pages[i].environment) +
                document_formula(pages[i].environment, pages[i].formula) +
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

enum class read_result { whole, more, failed };

// Reads the formula from the descriptor until its end or until `formula`
// holds at least `limit` bytes (then `more`); `failed` when the read failed
// (with its message, empty when a signal broke it).
read_result read_formula(int in, std::string& formula, std::size_t limit, std::string& read_error) {
    std::vector<char> buffer(65536);
    while (formula.size() < limit) {
        ssize_t got = read(in, buffer.data(), buffer.size());
        if (got == 0)
            return read_result::whole;
        if (got < 0) {
            if (errno == EINTR && !interrupt_signal())
                continue;
            if (!interrupt_signal())
                read_error = std::string("\nCannot read the formula from standard input: ") +
                             std::strerror(errno) + "\n";
            return read_result::failed;
        }
        formula.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return read_result::more;
}

bool write_all(std::FILE* f, const std::string& s) {
    return std::fwrite(s.data(), 1, s.size(), f) == s.size();
}

}  // namespace

step_failure write_document(const std::string& path, const std::string& preamble,
                            const std::string& environment, int formula_in) {
    file_ptr doc(std::fopen(path.c_str(), "wb"));
    if (!doc)
        return failure{std::string("\nCannot create the LaTeX document: ") +
                       std::strerror(errno) + "\n"};
    // Whole, because whether the formula goes in braces depends on all of it;
    // one longer than any batch job's line is copied as it comes, unchanged.
    std::string formula, read_error;
    read_result got = read_formula(formula_in, formula, formula_read_limit, read_error);
    if (got == read_result::failed)
        return failure{read_error};
    errno = 0;
    bool ok = true;
    if (got == read_result::whole) {
        ok = write_all(doc.get(), document_text(preamble, environment, formula));
    } else {
        ok = write_all(doc.get(), document_head(preamble, environment)) &&
             write_all(doc.get(), formula);
        while (ok && got == read_result::more) {
            formula.clear();
            got = read_formula(formula_in, formula, formula_read_limit, read_error);
            if (got == read_result::failed)
                return failure{read_error};
            ok = write_all(doc.get(), formula);
        }
        ok = ok && write_all(doc.get(), document_tail(environment));
    }
    ok = ok && std::fflush(doc.get()) == 0;
    int closed = std::fclose(doc.release());
    if (!ok || closed != 0)
        return failure{std::string("\nCannot write the LaTeX document: ") +
                       std::strerror(errno ? errno : EIO) + "\n"};
    return std::nullopt;
}
