#include "command_line.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

const char help_text_lines[] =
    "mathrast renders a LaTeX maths formula as an antialiased image\n"
    "and prints the HTML attributes that align it with the text baseline.\n"
    "\n"
    "Usage: mathrast [OPTION]...\n"
    "\n"
    "-o name     output filename\n"
    "-v          print verbose information\n"
    "-f format   store images in 'format' (png by default)\n"
    "-s n        set oversampling factor for antialiasing to 'n' (4 by default)\n"
    "-r dpi      set output resolution to 'dpi' dots per inch\n"
    "-p string   add 'string' to LaTeX preamble (e.g. \\usepackage{...})\n"
    "-e env      embed equation in \\begin{env}..\\end{env} (e.g. -e 'align*')\n"
    "-c colour   set foreground RGB colour (000000 by default)\n"
    "-b colour   set background RGB colour (A0A0A0 by default, ignored for png)\n"
    "-t          turn transparency OFF\n"
    "-x n        also write an n-times image for srcset (n = 2, 3 or 4; needs -o)\n"
    "-B          batch: render the JSON jobs on stdin, one JSON result per line\n"
    "-h          print this help text and exit\n"
    "\n"
    "LaTeX maths string is read from stdin. Image written to stdout unless filename\n"
    "specified with -o option. Run with -f ? to list supported image formats.\n";

parse_result finish(int status, std::string out = {}, std::string err = {}) {
    parse_result r;
    r.exit_status = status;
    r.out = std::move(out);
    r.err = std::move(err);
    return r;
}

// A usage error: the caller asked for something we cannot do, so the help
// goes where errors go and the status says failure. The diagnostic is
// worded as getopt's own.
parse_result usage_error(std::string diagnostic) {
    return finish(1, {}, diagnostic + help_text());
}

std::string option_diagnostic(const char* program, const char* what, int option) {
    return std::string(program) + ": " + what + " -- '" + static_cast<char>(option) + "'\n";
}

}  // namespace

int32_t leading_digits_value(const char* text) {
    // atoi's rule, but an out-of-range number saturates instead of being
    // undefined behaviour.
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

const std::string& help_text() {
    static const std::string text = help_text_lines;
    return text;
}

void scan_colour(const char* text, rgb_colour& colour) {
    unsigned int parts[3] = {0, 0, 0};
    int converted = std::sscanf(text, "%02x%02x%02x", &parts[0], &parts[1], &parts[2]);
    int32_t* fields[3] = {&colour.red, &colour.green, &colour.blue};
    for (int i = 0; i < converted && i < 3; ++i)
        *fields[i] = static_cast<int32_t>(parts[i]);
}

namespace {

// Applies one scanned option; a result when it ends the run at once.
std::optional<parse_result> apply_option(int option, const char* arg, const char* program,
                                         job_settings& settings) {
    switch (option) {
    case 'f':
        if (std::strcmp(arg, "png") == 0)
            settings.format = image_format::png;
        else if (std::strcmp(arg, "gif") == 0)
            settings.format = image_format::gif;
        else if (arg[0] == '?')
            return finish(0, "Supported image formats: png, gif\n");
        else
            return finish(1, {}, std::string("\nUnknown format '") + arg + "'\n");
        break;
    case 's': {
        int factor = leading_digits_value(arg);
        if (factor <= 0)
            return finish(1, {},
                          std::string("\nOversampling factor ") + arg + " is not a positive integer\n");
        settings.oversampling_factor = factor;
        break;
    }
    case 'r':
        settings.resolution = leading_digits_value(arg);
        break;
    case 'c':
        scan_colour(arg, settings.foreground);
        break;
    case 'b':
        scan_colour(arg, settings.background);
        break;
    case 't':
        settings.transparent = false;
        break;
    case 'v':
        settings.verbose = true;
        break;
    case 'p':
        settings.preamble = arg;
        break;
    case 'e':
        settings.environment = arg;
        break;
    case 'o':
        settings.output_name = std::string(arg);
        break;
    case 'x':
        if (std::strcmp(arg, "2") != 0 && std::strcmp(arg, "3") != 0 && std::strcmp(arg, "4") != 0)
            return finish(1, {},
                          std::string("\nHigh-density factor '") + arg + "' is not 2, 3 or 4\n");
        settings.hidpi_scale = arg[0] - '0';
        break;
    case 'B':
        settings.batch = true;
        break;
    case 'h':
        return finish(0, help_text());
    case ':':
        return usage_error(option_diagnostic(program, "option requires an argument", optopt));
    default:
        return usage_error(option_diagnostic(program, "invalid option", optopt));
    }
    return std::nullopt;
}

}  // namespace

parse_result parse_command_line(int argc, char* const argv[], job_settings start) {
    job_settings settings = std::move(start);
    const char* program = argc > 0 ? argv[0] : "mathrast";
    optind = 0;  // glibc: full re-initialisation, also reads the leading '+'
    opterr = 0;  // its diagnostics are ours to place
    int option;
    while ((option = getopt(argc, argv, "+:f:s:o:e:tvc:b:r:p:hx:B")) != -1) {
        if (std::optional<parse_result> ended = apply_option(option, optarg, program, settings))
            return std::move(*ended);
    }
    if (optind != argc)
        return usage_error({});
    if (settings.batch && settings.output_name)
        return usage_error(std::string(program) + ": -o cannot be used with -B: each job names its output\n");
    if (settings.hidpi_scale > 1 && !settings.output_name && !settings.batch)
        return finish(1, {},
                      "\nOption -x needs -o: the n-times image is written beside the image file\n");
    parse_result r;
    r.settings = std::move(settings);
    return r;
}
