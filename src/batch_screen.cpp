#include "batch_screen.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace {

// Control words that typeset symbols, structures and fonts, with their
// effects confined to the current group. Nothing here defines, assigns
// globally, writes, reads files or state of the run (page, line, job name),
// changes catcodes or modes, or ships out.
const std::set<std::string>& safe_control_words() {
    static const std::set<std::string> words = {
        // Greek
        "alpha", "beta", "gamma", "delta", "epsilon", "varepsilon", "zeta", "eta", "theta",
        "vartheta", "iota", "kappa", "lambda", "mu", "nu", "xi", "pi", "varpi", "rho", "varrho",
        "sigma", "varsigma", "tau", "upsilon", "phi", "varphi", "chi", "psi", "omega", "Gamma",
        "Delta", "Theta", "Lambda", "Xi", "Pi", "Sigma", "Upsilon", "Phi", "Psi", "Omega",
        // structures
        "frac", "dfrac", "tfrac", "binom", "sqrt", "left", "right", "middle", "big", "Big", "bigg",
        "Bigg", "bigl", "bigr", "Bigl", "Bigr", "biggl", "biggr", "Biggl", "Biggr", "overline",
        "underline", "overbrace", "underbrace", "stackrel", "overset", "underset", "limits",
        "nolimits", "displaystyle", "textstyle", "scriptstyle", "scriptscriptstyle", "mathrm",
        "mathbf", "mathit", "mathsf", "mathtt", "mathcal", "mathbb", "mathfrak", "boldsymbol",
        "text", "textrm", "textbf", "textit", "mbox", "operatorname", "color", "textcolor",
        "substack", "pmod", "bmod", "mod", "not",
        // accents
        "hat", "widehat", "tilde", "widetilde", "bar", "vec", "dot", "ddot", "acute", "grave",
        "check", "breve",
        // operators and functions
        "sum", "prod", "coprod", "int", "iint", "iiint", "oint", "bigcup", "bigcap", "bigoplus",
        "bigotimes", "bigvee", "bigwedge", "lim", "liminf", "limsup", "sup", "inf", "max", "min",
        "sin", "cos", "tan", "cot", "sec", "csc", "arcsin", "arccos", "arctan", "sinh", "cosh",
        "tanh", "log", "ln", "lg", "exp", "det", "dim", "ker", "deg", "gcd", "arg", "Pr", "hom",
        // relations, binary operators, arrows
        "leq", "le", "geq", "ge", "neq", "ne", "approx", "equiv", "sim", "simeq", "cong", "propto",
        "ll", "gg", "subset", "supset", "subseteq", "supseteq", "in", "notin", "ni", "mid",
        "parallel", "perp", "pm", "mp", "times", "div", "cdot", "ast", "star", "circ", "bullet",
        "oplus", "ominus", "otimes", "oslash", "odot", "cup", "cap", "setminus", "wedge", "vee",
        "land", "lor", "neg", "lnot", "to", "gets", "mapsto", "rightarrow", "leftarrow",
        "Rightarrow", "Leftarrow", "leftrightarrow", "Leftrightarrow", "longrightarrow",
        "longleftarrow", "Longrightarrow", "Longleftarrow", "iff", "implies", "uparrow",
        "downarrow", "Uparrow", "Downarrow", "nearrow", "searrow", "hookrightarrow", "prec", "succ",
        "preceq", "succeq", "vdash", "models",
        // symbols and delimiters
        "infty", "partial", "nabla", "forall", "exists", "emptyset", "varnothing", "aleph", "hbar",
        "ell", "Re", "Im", "wp", "prime", "angle", "triangle", "ldots", "cdots", "vdots", "ddots",
        "dots", "langle", "rangle", "lfloor", "rfloor", "lceil", "rceil", "lbrace", "rbrace",
        "vert", "Vert", "lvert", "rvert", "lVert", "rVert", "backslash", "top", "bot", "dagger",
        "ddagger", "S", "P", "checkmark", "square", "Box", "diamond", "clubsuit", "heartsuit",
        "spadesuit", "mathbb",
        "cfrac", "boxed", "xrightarrow", "xleftarrow", "mathring", "imath", "jmath", "tag",
        "notag", "nonumber", "hline", "cline",
        // spacing
        "quad", "qquad",
    };
    return words;
}

// Environments whose page in a shared run is set as in a run of its own,
// and whether rows and columns (& and \\) belong in them.
const std::map<std::string, bool>& safe_environments() {
    static const std::map<std::string, bool> names = {
        {"displaymath", false}, {"equation", false}, {"equation*", false}, {"math", false},
        {"align", true},        {"align*", true},    {"gather", true},     {"gather*", true},
    };
    return names;
}

// Environments a formula may open and close itself; all set rows and columns.
const std::set<std::string>& safe_inner_environments() {
    static const std::set<std::string> names = {
        "array",   "matrix",   "pmatrix", "bmatrix",   "Bmatrix", "vmatrix",
        "Vmatrix", "cases",    "aligned", "gathered",  "split",   "smallmatrix",
    };
    return names;
}

bool safe_preamble(const std::string& preamble) {
    // Empty, or nothing but \usepackage of packages that only define
    // symbols and fonts.
    static const std::set<std::string> packages = {"amsmath", "amssymb", "amsfonts", "bm",
                                                   "color", "xcolor", "mathrsfs", "latexsym"};
    std::size_t at = 0;
    const auto skip_blanks = [&] {
        while (at < preamble.size() && std::isspace(static_cast<unsigned char>(preamble[at])))
            ++at;
    };
    const std::string command = "\\usepackage{";
    for (skip_blanks(); at < preamble.size(); skip_blanks()) {
        if (preamble.compare(at, command.size(), command) != 0)
            return false;
        at += command.size();
        const std::size_t close = preamble.find('}', at);
        if (close == std::string::npos)
            return false;
        const std::string list = preamble.substr(at, close - at);
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = list.find(',', start);
            std::string name = list.substr(start, comma == std::string::npos ? comma : comma - start);
            name.erase(std::remove_if(name.begin(), name.end(),
                                      [](char c) { return std::isspace(static_cast<unsigned char>(c)); }),
                       name.end());
            if (!packages.count(name))
                return false;
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        at = close + 1;
    }
    return true;
}

bool ordinary_character(unsigned char c, bool alignment_allowed) {
    if (std::isalnum(c) || c == ' ' || c == '\n' || c == '\t')
        return true;
    // Not: % (comments out what follows), # ~ $ (parameters, ties, mode
    // changes), \x7f and control bytes; & only where rows align.
    static const std::string punctuation = "+-=()[]|/*',.;:!?<>^_@\"`";
    if (c == '&')
        return alignment_allowed;
    return punctuation.find(static_cast<char>(c)) != std::string::npos;
}

// The "{name}" right after \\begin or \\end at `at`, or none.
std::optional<std::string> environment_name(const std::string& formula, std::size_t at) {
    if (at >= formula.size() || formula[at] != '{')
        return std::nullopt;
    const std::size_t close = formula.find('}', at);
    if (close == std::string::npos)
        return std::nullopt;
    return formula.substr(at + 1, close - at - 1);
}

// An empty line is a paragraph break, an error inside maths.
bool has_empty_line(const std::string& formula) {
    for (std::size_t newline = formula.find('\n'); newline != std::string::npos;
         newline = formula.find('\n', newline + 1)) {
        const std::size_t next = formula.find_first_not_of(" \t", newline + 1);
        if (next != std::string::npos && formula[next] == '\n')
            return true;
    }
    return false;
}

// Checks the control sequence at `i` (its backslash) and moves `i` to its
// last character; `open` keeps the environments the formula opened.
bool control_sequence_ok(const std::string& formula, std::size_t& i, bool rows,
                         std::vector<std::string>& open) {
    if (i + 1 >= formula.size())
        return false;
    const auto next = static_cast<unsigned char>(formula[i + 1]);
    if (!std::isalpha(next)) {
        ++i;
        // spacing, braces and the norm bar as symbols; a row break in rows
        return std::string(",;:! {}|").find(static_cast<char>(next)) != std::string::npos ||
               (next == '\\' && rows);
    }
    std::size_t end = i + 1;
    while (end < formula.size() && std::isalpha(static_cast<unsigned char>(formula[end])))
        ++end;
    const std::string word = formula.substr(i + 1, end - i - 1);
    i = end - 1;
    if (word != "begin" && word != "end")
        return safe_control_words().count(word) > 0;
    std::optional<std::string> name = environment_name(formula, end);
    if (!name || !safe_inner_environments().count(*name))
        return false;
    i = end + name->size() + 1;
    if (word == "begin") {
        open.push_back(*name);
        return true;
    }
    if (open.empty() || open.back() != *name)
        return false;
    open.pop_back();
    return true;
}

}  // namespace

bool formula_may_share(const std::string& formula, bool alignment_allowed) {
    if (has_empty_line(formula))
        return false;
    int depth = 0;
    std::vector<std::string> open;  // environments the formula opened
    for (std::size_t i = 0; i < formula.size(); ++i) {
        const auto c = static_cast<unsigned char>(formula[i]);
        const bool rows = alignment_allowed || !open.empty();
        if (c == '{')
            ++depth;
        else if (c == '}' && --depth < 0)
            return false;  // would close a group of the document's
        else if (c == '\\' && !control_sequence_ok(formula, i, rows, open))
            return false;
        else if (c != '{' && c != '}' && c != '\\' && !ordinary_character(c, rows))
            return false;
    }
    return depth == 0 && open.empty();
}

bool may_share_run(const job_settings& settings, const std::string& formula) {
    // An n-times image needs a second rendering of its own page.
    const auto environment = safe_environments().find(settings.environment);
    return settings.hidpi_scale == 1 && environment != safe_environments().end() &&
           safe_preamble(settings.preamble) && formula_may_share(formula, environment->second);
}
