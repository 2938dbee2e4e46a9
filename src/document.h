// The LaTeX document that wraps a formula.
#pragma once

#include <string>

#include "records.h"

// The document up to the formula (the baseline mark "." included) and after
// it. Preamble and environment go in unchanged.
std::string document_head(const std::string& preamble, const std::string& environment);
std::string document_tail(const std::string& environment);

// Writes the document to `path`, with the formula copied byte for byte from
// the descriptor `formula_in` to its end. A failure says what went wrong;
// when a signal broke the read its message is empty (the caller reports the
// interruption).
step_failure write_document(const std::string& path, const std::string& preamble,
                            const std::string& environment, int formula_in);
