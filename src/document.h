// The LaTeX document that wraps a formula.
#pragma once

#include <string>
#include <vector>

#include "records.h"

// The document up to the formula (the baseline mark "." included) and after
// it. Preamble and environment go in unchanged.
std::string document_head(const std::string& preamble, const std::string& environment);
std::string document_tail(const std::string& environment);

// One page of a shared document: the formula in its environment, typeset
// as in a document of its own.
struct document_page {
    std::string environment;
    std::string formula;
};

// A document of many pages, page i (from 1) holding pages[i - 1]: the page
// number is set to i before each page, so a page can be traced to its job,
// and equation numbers start again, as in a document of its own.
std::string shared_document(const std::string& preamble, const std::vector<document_page>& pages);

// Writes the document to `path`, with the formula copied byte for byte from
// the descriptor `formula_in` to its end. A failure says what went wrong;
// when a signal broke the read its message is empty (the caller reports the
// interruption).
step_failure write_document(const std::string& path, const std::string& preamble,
                            const std::string& environment, int formula_in);

// Writes a whole document's text to `path`.
step_failure write_text_file(const std::string& path, const std::string& text);
