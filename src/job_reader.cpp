#include "job_reader.h"

#include <string_view>
#include <variant>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "command_line.h"

namespace {

// Ordered, so that an "id" object comes back with its members as they came.
using json = nlohmann::ordered_json;

std::string line_message(int64_t line, const std::string& what) {
    return "\nLine " + std::to_string(line) + what + "\n";
}

bool is_blank(const std::string& text) {
    return text.find_first_not_of(" \t\r") == std::string::npos;
}

// The deepest nesting of arrays and objects in `text`, which must be valid
// JSON: brackets inside strings do not count.
int nesting_depth(const std::string& text) {
    int depth = 0, deepest = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest)
                deepest = depth;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

// The option letters that take an argument, as parse_command_line's getopt
// string has them. Needed to tell an option from an option's argument
// ("-p -v" sets the preamble to "-v").
constexpr std::string_view letters_with_argument = "fsoecbrpx";

// What scanning a job's words by getopt's rules (POSIX: the first word that
// is not an option ends the scan) found before parse_command_line runs.
struct option_scan {
    std::optional<failure> refused;      // an option a job may not have
    std::optional<std::string> leftover; // the first word after the options
};

std::string refusal(const std::string& option, const char* why) {
    return "\nOption " + option + " cannot be given in a job's options: " + why + "\n";
}

option_scan scan_job_words(const std::vector<std::string>& words) {
    option_scan scan;
    std::size_t i = 0;
    for (; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w == "--") {
            ++i;
            break;
        }
        if (w.size() < 2 || w[0] != '-')
            break;
        for (std::size_t j = 1; j < w.size(); ++j) {
            const char letter = w[j];
            if (letters_with_argument.find(letter) != std::string_view::npos) {
                std::optional<std::string> argument;
                if (j + 1 < w.size())
                    argument = w.substr(j + 1);
                else if (i + 1 < words.size())
                    argument = words[++i];
                if (letter == 'o')
                    scan.refused = failure{refusal("-o", "the job's \"output\" names the image")};
                else if (letter == 'f' && argument && !argument->empty() && (*argument)[0] == '?')
                    scan.refused = failure{
                        refusal("-f " + *argument, "a job prints nothing but its result")};
                break;
            }
            if (letter == 'B')
                scan.refused = failure{refusal("-B", "the job is already in a batch")};
            else if (letter == 'v' || letter == 'h')
                scan.refused = failure{
                    refusal(std::string("-") + letter, "a job prints nothing but its result")};
            if (scan.refused)
                break;
        }
        if (scan.refused)
            return scan;
    }
    if (i < words.size())
        scan.leftover = words[i];
    return scan;
}

// The settings of a job with these option words, or the reason it has none.
result<job_settings> job_settings_from(const std::vector<std::string>& words,
                                       const std::string& output, const job_settings& defaults,
                                       const char* program) {
    const option_scan scan = scan_job_words(words);
    if (scan.refused)
        return *scan.refused;

    // Not a batch and with an output name while scanning, so that -x is
    // judged as in a lone run with -o.
    job_settings start = defaults;
    start.batch = false;
    start.output_name = output;
    std::vector<std::string> argument_words;
    argument_words.reserve(words.size() + 1);
    argument_words.emplace_back(program);
    argument_words.insert(argument_words.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& w : argument_words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    parse_result parsed =
        parse_command_line(static_cast<int>(argument_words.size()), argv.data(), std::move(start));
    if (parsed.settings) {
        job_settings settings = std::move(*parsed.settings);
        settings.output_name = output;
        settings.verbose = false;
        settings.batch = false;
        return settings;
    }

    // A result line has no room for the help text a lone run adds.
    std::string message = std::move(parsed.err);
    const std::string& help = help_text();
    if (message.size() >= help.size() &&
        message.compare(message.size() - help.size(), help.size(), help) == 0)
        message.resize(message.size() - help.size());
    if (!message.empty())
        return failure{message};
    if (scan.leftover)
        return failure{"\nThe job's options have a word that is not an option: '" + *scan.leftover +
                       "'\n"};
    return failure{"\nThe job's options cannot be used\n"};
}

bool has_nul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

}  // namespace

namespace {

// The line as a JSON object, or what is wrong with it (the text after
// "Line N").
std::variant<json, std::string> parse_object(const std::string& text) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error& e) {
        if (e.byte > text.size())
            return std::string(" is not valid JSON: it ends too soon");
        return " is not valid JSON: error at byte " + std::to_string(e.byte);
    } catch (const json::out_of_range&) {
        return std::string(" has a number too large to read");
    }
    if (nesting_depth(text) > max_job_nesting)
        return " nests arrays and objects deeper than " + std::to_string(max_job_nesting) +
               " levels";
    if (!doc.is_object())
        return std::string(" is not a JSON object");
    return doc;
}

// What is wrong with the required fields, if anything.
std::optional<std::string> required_fields_problem(const json& doc) {
    const auto formula = doc.find("formula");
    if (formula == doc.end())
        return std::string(": \"formula\" is missing");
    if (!formula->is_string())
        return std::string(": \"formula\" must be a string");
    const auto output = doc.find("output");
    if (output == doc.end())
        return std::string(": \"output\" is missing");
    if (!output->is_string())
        return std::string(": \"output\" must be a string");
    // No file name holds one: the name would end there.
    if (has_nul(output->get_ref<const std::string&>()))
        return std::string(": \"output\" holds a NUL character");
    return std::nullopt;
}

// The "options" words, or what is wrong with them.
std::variant<std::vector<std::string>, std::string> option_words(const json& doc) {
    std::vector<std::string> words;
    const auto options = doc.find("options");
    if (options == doc.end())
        return words;
    if (!options->is_array())
        return std::string(": \"options\" must be an array of strings");
    for (std::size_t i = 0; i < options->size(); ++i) {
        const json& word = (*options)[i];
        const std::string item = "item " + std::to_string(i + 1) + " of \"options\"";
        if (!word.is_string())
            return ": " + item + " is not a string";
        // A command-line word cannot hold one: it would end there.
        if (has_nul(word.get_ref<const std::string&>()))
            return ": " + item + " holds a NUL character";
        words.push_back(word.get<std::string>());
    }
    return words;
}

}  // namespace

std::optional<read_line_result> read_job_line(const std::string& text, int64_t line,
                                              const job_settings& defaults, const char* program) {
    read_line_result r;
    r.job.line = line;
    r.job.settings = defaults;
    auto fail = [&](const std::string& what) {
        r.error = failure{line_message(line, what)};
        return r;
    };

    // Before the blank test: a reader may pass only the start of a long
    // line, and blanks there say nothing about the rest.
    if (text.size() > max_job_line_bytes)
        return fail(" is longer than " + std::to_string(max_job_line_bytes) + " bytes");
    if (is_blank(text))
        return std::nullopt;
    std::variant<json, std::string> parsed = parse_object(text);
    if (auto* problem = std::get_if<std::string>(&parsed))
        return fail(*problem);
    const json& doc = std::get<json>(parsed);

    // Read first, so that a failure on any other field still echoes them.
    if (auto id = doc.find("id"); id != doc.end())
        r.job.id_json = id->dump(-1, ' ', false, json::error_handler_t::replace);
    if (const auto output = doc.find("output"); output != doc.end() && output->is_string())
        r.job.output = output->get<std::string>();
    if (std::optional<std::string> problem = required_fields_problem(doc))
        return fail(*problem);
    std::variant<std::vector<std::string>, std::string> words = option_words(doc);
    if (auto* problem = std::get_if<std::string>(&words))
        return fail(*problem);

    result<job_settings> settings = job_settings_from(std::get<std::vector<std::string>>(words),
                                                      *r.job.output, defaults, program);
    if (!settings) {
        r.error = settings.error;
        return r;
    }
    r.job.settings = std::move(*settings);
    r.job.formula = doc.find("formula")->get<std::string>();
    return r;
}

job_outcome failed_outcome(const failure& f) {
    job_outcome o;
    o.status = 1;
    o.error = f.message;
    return o;
}

std::string result_line(const batch_job& job, const job_outcome& outcome) {
    json r;
    r["line"] = job.line;
    if (job.id_json) {
        json id = json::parse(*job.id_json, nullptr, false);
        // Only text that read_job_line did not make can fail; keep it visible.
        r["id"] = id.is_discarded() ? json(*job.id_json) : std::move(id);
    }
    if (job.output)
        r["output"] = *job.output;
    r["status"] = outcome.status;
    if (outcome.status == 0) {
        r["report"] = outcome.report;
        r["width"] = outcome.width;
        r["height"] = outcome.height;
        r["baseline_offset"] = outcome.baseline_offset;
        if (job.settings.hidpi_scale > 1) {
            r["srcset"] = outcome.srcset;
            r["hidpi_output"] = outcome.hidpi_output;
        }
    } else {
        r["error"] = outcome.error;
    }
    // A TeX log excerpt can hold any bytes: replaced, they cannot make dump throw.
    return r.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}
