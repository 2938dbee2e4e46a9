#include <gtest/gtest.h>

#include <functional>

#include "command_line.h"

namespace {

struct scanned {
    parse_result result;
    std::string out, err;
};

scanned scan(std::vector<std::string> words) {
    words.insert(words.begin(), "mathrast");
    std::vector<char*> argv;
    for (auto& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    // Nothing is printed while scanning: the texts come back for the caller.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    scanned s;
    s.result = parse_command_line(static_cast<int>(words.size()), argv.data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    s.out = s.result.out;
    s.err = s.result.err;
    return s;
}

std::string help() {
    return help_text();
}

struct settings_case {
    std::vector<std::string> args;
    std::function<void(const job_settings&)> check;
};

TEST(CommandLine, SettingsFromOptions) {
    const settings_case cases[] = {
        {{}, [](const job_settings& s) {
             EXPECT_EQ(s.format, image_format::png);
             EXPECT_EQ(s.oversampling_factor, 4);
             EXPECT_EQ(s.resolution, 100);
             EXPECT_EQ(s.foreground.red, 0);
             EXPECT_EQ(s.background.green, 160);
             EXPECT_TRUE(s.transparent);
             EXPECT_FALSE(s.verbose);
             EXPECT_EQ(s.preamble, "");
             EXPECT_EQ(s.environment, "displaymath");
             EXPECT_FALSE(s.output_name);
         }},
        {{"--"}, [](const job_settings& s) {
             EXPECT_EQ(s.environment, "displaymath");
             EXPECT_EQ(s.hidpi_scale, 1);
         }},
        {{"-x", "3", "-o", "eq.png", "-x4"}, [](const job_settings& s) { EXPECT_EQ(s.hidpi_scale, 4); }},
        {{"-B", "-x", "2", "-s", "3"}, [](const job_settings& s) {
             EXPECT_TRUE(s.batch);
             EXPECT_EQ(s.hidpi_scale, 2);  // each job names its output
             EXPECT_FALSE(s.output_name);
         }},
        {{"-f", "gif", "-f", "png"}, [](const job_settings& s) { EXPECT_EQ(s.format, image_format::png); }},
        {{"-fgif"}, [](const job_settings& s) { EXPECT_EQ(s.format, image_format::gif); }},
        {{"-s", "3abc"}, [](const job_settings& s) { EXPECT_EQ(s.oversampling_factor, 3); }},
        {{"-s", " +7"}, [](const job_settings& s) { EXPECT_EQ(s.oversampling_factor, 7); }},
        {{"-s", "99999999999"}, [](const job_settings& s) { EXPECT_EQ(s.oversampling_factor, INT32_MAX); }},
        {{"-r", "-5"}, [](const job_settings& s) { EXPECT_EQ(s.resolution, -5); }},
        {{"-r", "dpi"}, [](const job_settings& s) { EXPECT_EQ(s.resolution, 0); }},
        {{"-c", "FF"}, [](const job_settings& s) {
             EXPECT_EQ(s.foreground.red, 255);
             EXPECT_EQ(s.foreground.green, 0);
             EXPECT_EQ(s.foreground.blue, 0);
         }},
        {{"-c", "00FF00", "-c", "FF"}, [](const job_settings& s) {
             EXPECT_EQ(s.foreground.red, 255);
             EXPECT_EQ(s.foreground.green, 255);
             EXPECT_EQ(s.foreground.blue, 0);
         }},
        {{"-b", "123456789"}, [](const job_settings& s) {
             EXPECT_EQ(s.background.red, 0x12);
             EXPECT_EQ(s.background.green, 0x34);
             EXPECT_EQ(s.background.blue, 0x56);
         }},
        {{"-b", "#123456"}, [](const job_settings& s) {
             EXPECT_EQ(s.background.red, 160);
             EXPECT_EQ(s.background.blue, 160);
         }},
        {{"-c", "-1"}, [](const job_settings& s) { EXPECT_EQ(s.foreground.red, -1); }},
        {{"-c", "aBcDeF"}, [](const job_settings& s) { EXPECT_EQ(s.foreground.blue, 0xEF); }},
        {{"-t", "-t", "-v"}, [](const job_settings& s) {
             EXPECT_FALSE(s.transparent);
             EXPECT_TRUE(s.verbose);
         }},
        {{"-tv"}, [](const job_settings& s) { EXPECT_FALSE(s.transparent); EXPECT_TRUE(s.verbose); }},
        {{"-p", "one", "-p", "two%s"}, [](const job_settings& s) { EXPECT_EQ(s.preamble, "two%s"); }},
        {{"-e", "align*"}, [](const job_settings& s) { EXPECT_EQ(s.environment, "align*"); }},
        {{"-e", ""}, [](const job_settings& s) { EXPECT_EQ(s.environment, ""); }},
        {{"-o", ""}, [](const job_settings& s) { ASSERT_TRUE(s.output_name); EXPECT_EQ(*s.output_name, ""); }},
        {{"-oimages/eq.gif"}, [](const job_settings& s) {
             EXPECT_EQ(*s.output_name, "images/eq.gif");
             EXPECT_EQ(s.format, image_format::png);  // the extension chooses nothing
         }},
        {{"-o", "-v"}, [](const job_settings& s) { EXPECT_EQ(*s.output_name, "-v"); EXPECT_FALSE(s.verbose); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        scanned s = scan(c.args);
        ASSERT_TRUE(s.result.settings);
        EXPECT_EQ(s.out, "");
        EXPECT_EQ(s.err, "");
        c.check(*s.result.settings);
    }
}

struct ending_case {
    std::vector<std::string> args;
    int status;
    std::string out;   // "HELP" stands for the help text
    std::string err;   // "HELP" for the help text; "...+HELP": that text, then the help
};

TEST(CommandLine, RunsThatEndAtOnce) {
    const std::string formats = "Supported image formats: png, gif\n";
    const ending_case cases[] = {
        {{"-f", "?"}, 0, formats, ""},
        {{"-f", "?anything"}, 0, formats, ""},
        {{"-f", "?", "-s", "0"}, 0, formats, ""},
        {{"-s", "0", "-f", "?"}, 1, "", "\nOversampling factor 0 is not a positive integer\n"},
        {{"-s", "-2"}, 1, "", "\nOversampling factor -2 is not a positive integer\n"},
        {{"-s", "many"}, 1, "", "\nOversampling factor many is not a positive integer\n"},
        {{"-f", "PNG"}, 1, "", "\nUnknown format 'PNG'\n"},
        {{"-f", "jpeg", "-f", "?"}, 1, "", "\nUnknown format 'jpeg'\n"},
        {{"-h"}, 0, "HELP", ""},
        // getopt's own wording, with the program name as invoked
        {{"-y"}, 1, "", "mathrast: invalid option -- 'y'\n+HELP"},
        {{"-x"}, 1, "", "mathrast: option requires an argument -- 'x'\n+HELP"},
        {{"-tq"}, 1, "", "mathrast: invalid option -- 'q'\n+HELP"},
        {{"-o"}, 1, "", "mathrast: option requires an argument -- 'o'\n+HELP"},
        {{"-t", "-p"}, 1, "", "mathrast: option requires an argument -- 'p'\n+HELP"},
        {{"word"}, 1, "", "HELP"},
        {{"-v", "word"}, 1, "", "HELP"},
        {{"word", "-f", "?"}, 1, "", "HELP"},  // no reordering: -f is never scanned
        {{"-t", "--", "word"}, 1, "", "HELP"},
        {{"-x", "5", "-o", "eq.png"}, 1, "", "\nHigh-density factor '5' is not 2, 3 or 4\n"},
        {{"-o", "eq.png", "-x", "2x"}, 1, "", "\nHigh-density factor '2x' is not 2, 3 or 4\n"},
        {{"-x", "1", "-o", "eq.png"}, 1, "", "\nHigh-density factor '1' is not 2, 3 or 4\n"},
        {{"-x", "2"}, 1, "", "\nOption -x needs -o: the n-times image is written beside the image file\n"},
        {{"-B", "-o", "eq.png"}, 1, "", "mathrast: -o cannot be used with -B: each job names its output\n+HELP"},
    };
    const std::string help_text = help();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        scanned s = scan(c.args);
        EXPECT_FALSE(s.result.settings);
        EXPECT_EQ(s.result.exit_status, c.status);
        EXPECT_EQ(s.out, c.out == "HELP" ? help_text : c.out);
        if (c.err == "HELP") {
            EXPECT_EQ(s.err, help_text);
        } else if (c.err.size() > 5 && c.err.substr(c.err.size() - 5) == "+HELP") {
            EXPECT_EQ(s.err, c.err.substr(0, c.err.size() - 5) + help_text);
        } else {
            EXPECT_EQ(s.err, c.err);
        }
    }
}

TEST(CommandLine, HelpTextHasEveryOptionInTwelveColumns) {
    const std::string text = help();
    EXPECT_NE(text.find("\n\nUsage: mathrast [OPTION]...\n\n-o name     output filename\n"),
              std::string::npos);
    EXPECT_NE(text.find("-p string   add 'string' to LaTeX preamble (e.g. \\usepackage{...})\n"),
              std::string::npos);
    EXPECT_NE(text.find("-e env      embed equation in \\begin{env}..\\end{env} (e.g. -e 'align*')\n"),
              std::string::npos);
    EXPECT_NE(text.find("-t          turn transparency OFF\n"
                        "-x n        also write an n-times image for srcset (n = 2, 3 or 4; needs -o)\n"
                        "-B          batch: render the JSON jobs on stdin, one JSON result per line\n"
                        "-h          print this help text and exit\n\n"
                        "LaTeX maths string is read from stdin. Image written to stdout unless filename\n"
                        "specified with -o option. Run with -f ? to list supported image formats.\n"),
              std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(CommandLine, LeadingDigitsRule) {
    const std::pair<const char*, int32_t> cases[] = {
        {"12", 12}, {"  -3x", -3}, {"+4", 4}, {"", 0}, {"x5", 0}, {"-99999999999", INT32_MIN},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(leading_digits_value(text), value) << text;
}

}  // namespace
