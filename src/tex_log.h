// The TeX log: what a failed latex run has to say.
#pragma once

#include <istream>
#include <string>

// The first TeX error of a log: the "!" line through the "l.<n>" line and
// the line after it, at most a few lines, control bytes and invalid UTF-8
// shown as '?'. Reads only as far as it needs.
std::string first_tex_error(std::istream& log);
