#include "tex_log.h"

#include <cctype>
#include <vector>

namespace {

// A log line as it may safely reach a terminal: control bytes and invalid
// UTF-8 (a formula's own bytes can be anything) become '?'.
std::string printable(const std::string& line) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    const std::size_t n = line.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= n && !(c >= 0xC0 && c < 0xC2) && c < 0xF5;
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (p[i + k] & 0xC0) == 0x80;
        if (!valid || (length == 1 && ((c < 32 && c != '\t') || c == 127))) {
            out += '?';
            ++i;
        } else {
            out.append(line, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace

std::string first_tex_error(std::istream& in) {
    const std::size_t max_lines = 8;
    std::string line;
    std::vector<std::string> lines;
    bool context_seen = false;
    while (std::getline(in, line)) {
        if (lines.empty() && (line.empty() || line[0] != '!'))
            continue;
        lines.push_back(printable(line) + "\n");
        if (context_seen)
            break;  // the line after the context line
        context_seen = line.size() > 2 && line[0] == 'l' && line[1] == '.' &&
                       std::isdigit(static_cast<unsigned char>(line[2]));
        if (!context_seen && lines.size() >= max_lines)
            break;
    }
    // Without its context line within reach, the "!" line alone says most.
    if (!context_seen && !lines.empty())
        lines.resize(1);
    std::string out;
    for (const auto& l : lines)
        out += l;
    return out;
}
