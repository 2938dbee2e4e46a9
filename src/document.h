// The LaTeX document that wraps a formula.
#pragma once

#include <string>
#include <vector>

#include "records.h"

// The document up to the formula (the baseline mark "." included) and after
// it. Preamble and environment go in unchanged.
std::string document_head(const std::string& preamble, const std::string& environment);
std::string document_tail(const std::string& environment);

// True when the formula holds, outside every group, a generalized fraction
// (\over and its kin) and nothing that makes rows or maths of its own: TeX
// would then take everything before it, the mark included, as its numerator.
bool fraction_takes_the_mark(const std::string& formula);

// The formula as it goes into the document: in braces when a fraction would
// take the mark and the environment's maths is the formula's list alone (the
// braces then change nothing but where the mark goes), else unchanged.
std::string document_formula(const std::string& environment, const std::string& formula);

// The whole document of a lone run.
std::string document_text(const std::string& preamble, const std::string& environment,
                          const std::string& formula);

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

// How much of a formula is read before the document is written: a formula
// up to this length is judged whole (document_formula); a longer one, longer
// than any batch job can be, goes in unchanged as it is read.
constexpr std::size_t formula_read_limit = std::size_t{4} << 20;

// Writes the document to `path`, with the formula read from the descriptor
// `formula_in` to its end. A failure says what went wrong;
// when a signal broke the read its message is empty (the caller reports the
// interruption).
step_failure write_document(const std::string& path, const std::string& preamble,
                            const std::string& environment, int formula_in);

// Writes a whole document's text to `path`.
step_failure write_text_file(const std::string& path, const std::string& text);
