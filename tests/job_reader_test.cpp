#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "job_reader.h"

using namespace std::string_literals;

namespace {

// The batch's own options: -B -s 3 -r 200 -f gif -v.
job_settings batch_defaults() {
    job_settings d;
    d.batch = true;
    d.verbose = true;
    d.oversampling_factor = 3;
    d.resolution = 200;
    d.format = image_format::gif;
    return d;
}

std::optional<read_line_result> read(const std::string& text, int64_t line = 7,
                                     const job_settings& defaults = batch_defaults()) {
    return read_job_line(text, line, defaults, "mathrast");
}

// A valid job line with these option words (JSON array text).
std::string job_with_options(const std::string& options) {
    return R"({"formula":"x^2","output":"eq.png","options":)" + options + "}";
}

struct valid_case {
    std::string text;
    std::function<void(const batch_job&)> check;
};

TEST(ReadJobLine, ValidJobs) {
    const valid_case cases[] = {
        {R"({"formula":"x^2","output":"eq.png"})", [](const batch_job& j) {
             EXPECT_EQ(j.line, 7);
             EXPECT_EQ(j.formula, "x^2");
             EXPECT_EQ(j.output, "eq.png");
             EXPECT_FALSE(j.id_json);
             EXPECT_EQ(j.settings.output_name, "eq.png");
             EXPECT_EQ(j.settings.oversampling_factor, 3);
             EXPECT_EQ(j.settings.resolution, 200);
             EXPECT_EQ(j.settings.format, image_format::gif);
             EXPECT_FALSE(j.settings.verbose);
             EXPECT_FALSE(j.settings.batch);
             EXPECT_EQ(j.settings.hidpi_scale, 1);
         }},
        // The job's options come after the batch's: they win, the rest stays.
        {job_with_options(R"(["-s","5","-f","png","-t"])"), [](const batch_job& j) {
             EXPECT_EQ(j.settings.oversampling_factor, 5);
             EXPECT_EQ(j.settings.format, image_format::png);
             EXPECT_FALSE(j.settings.transparent);
             EXPECT_EQ(j.settings.resolution, 200);
         }},
        {job_with_options(R"(["-s","2","-r","50","-s6"])"), [](const batch_job& j) {
             EXPECT_EQ(j.settings.oversampling_factor, 6);
             EXPECT_EQ(j.settings.resolution, 50);
         }},
        {job_with_options(R"(["-x","2"])"), [](const batch_job& j) {
             EXPECT_EQ(j.settings.hidpi_scale, 2);
             EXPECT_EQ(j.settings.output_name, "eq.png");
         }},
        {job_with_options("[]"), [](const batch_job& j) { EXPECT_EQ(j.settings.oversampling_factor, 3); }},
        // Words that look like refused options are arguments here.
        {job_with_options(R"(["-p","-v","-e","-o","-c-h"])"), [](const batch_job& j) {
             EXPECT_EQ(j.settings.preamble, "-v");
             EXPECT_EQ(j.settings.environment, "-o");
         }},
        {job_with_options(R"(["-tp","-B","--"])"), [](const batch_job& j) {
             EXPECT_FALSE(j.settings.transparent);
             EXPECT_EQ(j.settings.preamble, "-B");
             EXPECT_FALSE(j.settings.batch);
         }},
        {R"({"extra":{"options":7},"output":"/tmp/a b/é.png","formula":"a\nb\u0000\u00e9","colour":[1]})",
         [](const batch_job& j) {
             EXPECT_EQ(j.formula, "a\nb\0\xc3\xa9"s);
             EXPECT_EQ(j.output, "/tmp/a b/\xc3\xa9.png");
             EXPECT_EQ(j.settings.output_name, "/tmp/a b/\xc3\xa9.png");
         }},
        // A CRLF file, blanks around the object.
        {"  {\"formula\":\"\",\"output\":\"o\"} \t\r", [](const batch_job& j) {
             EXPECT_EQ(j.formula, "");
             EXPECT_EQ(j.output, "o");
         }},
        {R"({"formula":"x","output":"o","formula":"y"})", [](const batch_job& j) { EXPECT_EQ(j.formula, "y"); }},
        // Brackets inside strings are not nesting, also after an escaped quote.
        {R"({"formula":"\")" + std::string(300, '{') + R"(","output":"o"})",
         [](const batch_job& j) { EXPECT_EQ(j.formula, "\"" + std::string(300, '{')); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::optional<read_line_result> r = read(c.text);
        ASSERT_TRUE(r);
        ASSERT_FALSE(r->error) << r->error->message;
        c.check(r->job);
    }
}

TEST(ReadJobLine, DefaultHighDensityNeedsNoJobOption) {
    job_settings d = batch_defaults();
    d.hidpi_scale = 3;
    std::optional<read_line_result> r = read(R"({"formula":"x","output":"o.png"})", 1, d);
    ASSERT_TRUE(r);
    ASSERT_FALSE(r->error) << r->error->message;
    EXPECT_EQ(r->job.settings.hidpi_scale, 3);
}

TEST(ReadJobLine, IdOfEveryTypeEchoedAsItCame) {
    struct row {
        const char* id;    // as written on the line
        const char* echo;  // the compact JSON text
    };
    const row rows[] = {
        {R"("job-1")", R"("job-1")"},
        {R"("caf\u00e9 \"q\"")", "\"caf\xc3\xa9 \\\"q\\\"\""},
        {"42", "42"},
        {"-7", "-7"},
        {"18446744073709551615", "18446744073709551615"},
        {"2.5", "2.5"},
        {"-0.125", "-0.125"},
        {"null", "null"},
        {"true", "true"},
        {"false", "false"},
        {R"([ 1, "a" , null ])", R"([1,"a",null])"},
        {R"({ "z": 1, "a": [true, {}] })", R"({"z":1,"a":[true,{}]})"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.id);
        const std::string text = std::string(R"({"id":)") + r.id + R"(,"formula":"x","output":"o.png"})";
        std::optional<read_line_result> read_line = read(text, 2);
        ASSERT_TRUE(read_line);
        ASSERT_FALSE(read_line->error) << read_line->error->message;
        EXPECT_EQ(read_line->job.id_json, r.echo);
        job_outcome ok;
        ok.status = 0;
        ok.report = "R";
        EXPECT_EQ(result_line(read_line->job, ok),
                  std::string(R"({"line":2,"id":)") + r.echo +
                      R"(,"output":"o.png","status":0,"report":"R","width":0,"height":0,"baseline_offset":0})"
                      "\n");
    }
}

TEST(ReadJobLine, BlankLinesAreSkipped) {
    for (const char* text : {"", " ", "\t", "\r", " \t \r", "\t\t  \r\r"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(read(text));
    }
}

TEST(ReadJobLine, BadLines) {
    struct row {
        std::string text;
        std::string message;
        std::optional<std::string> id_json = std::nullopt;  // what the result can still echo
        std::optional<std::string> output = std::nullopt;
    };
    const std::string max_line = R"({"formula":")" + std::string(max_job_line_bytes - 27, 'a') + R"(","output":"o"})";
    ASSERT_EQ(max_line.size(), max_job_line_bytes);
    const row rows[] = {
        {"not json", "\nLine 7 is not valid JSON: error at byte 2\n"},  // "n" could begin null
        {"{} x", "\nLine 7 is not valid JSON: error at byte 4\n"},
        {"{\"formula\":\"\xff\"}", "\nLine 7 is not valid JSON: error at byte 13\n"},
        {"\f{}", "\nLine 7 is not valid JSON: error at byte 1\n"},
        {R"({"formula":"a")", "\nLine 7 is not valid JSON: it ends too soon\n"},
        {R"({"formula":"a","output":"o","n":1e400})", "\nLine 7 has a number too large to read\n"},
        {R"(["formula","output"])", "\nLine 7 is not a JSON object\n"},
        {"42", "\nLine 7 is not a JSON object\n"},
        {R"("{}")", "\nLine 7 is not a JSON object\n"},
        {"null", "\nLine 7 is not a JSON object\n"},
        {R"({"id":1,"output":"o.png"})", "\nLine 7: \"formula\" is missing\n", "1", "o.png"},
        {R"({"formula":["x"],"output":"o.png","id":"k"})", "\nLine 7: \"formula\" must be a string\n",
         R"("k")", "o.png"},
        {R"({"formula":"x","id":[]})", "\nLine 7: \"output\" is missing\n", "[]"},
        {R"({"formula":"x","output":null})", "\nLine 7: \"output\" must be a string\n"},
        {R"({"formula":"x","output":"a\u0000b"})", "\nLine 7: \"output\" holds a NUL character\n",
         std::nullopt, "a\0b"s},
        {R"({"formula":"x","output":"o","options":"-t"})", "\nLine 7: \"options\" must be an array of strings\n",
         std::nullopt, "o"},
        {R"({"formula":"x","output":"o","options":{"-s":"3"}})",
         "\nLine 7: \"options\" must be an array of strings\n", std::nullopt, "o"},
        {R"({"formula":"x","output":"o","options":["-s",3]})", "\nLine 7: item 2 of \"options\" is not a string\n",
         std::nullopt, "o"},
        {R"({"formula":"x","output":"o","options":[null]})", "\nLine 7: item 1 of \"options\" is not a string\n",
         std::nullopt, "o"},
        {R"({"formula":"x","output":"o","options":["-t","-p\u0000x"]})",
         "\nLine 7: item 2 of \"options\" holds a NUL character\n", std::nullopt, "o"},
        {max_line + " ", "\nLine 7 is longer than 1048576 bytes\n"},
        {std::string(max_job_line_bytes + 1, ' '), "\nLine 7 is longer than 1048576 bytes\n"},
        {R"({"formula":"x","output":"o","id":)" + std::string(100, '[') + std::string(100, ']') + "}",
         "\nLine 7 nests arrays and objects deeper than 100 levels\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text.substr(0, 80));
        std::optional<read_line_result> got = read(r.text);
        ASSERT_TRUE(got);
        ASSERT_TRUE(got->error);
        EXPECT_EQ(got->error->message, r.message);
        EXPECT_EQ(got->job.line, 7);
        EXPECT_EQ(got->job.id_json, r.id_json);
        EXPECT_EQ(got->job.output, r.output);
    }
}

TEST(ReadJobLine, LimitsAreInclusive) {
    const std::string longest = R"({"formula":")" + std::string(max_job_line_bytes - 27, 'a') + R"(","output":"o"})";
    const std::string deepest =
        R"({"formula":"x","output":"o","id":)" + std::string(99, '[') + std::string(99, ']') + "}";
    for (const std::string& text : {longest, deepest}) {
        std::optional<read_line_result> r = read(text);
        ASSERT_TRUE(r);
        EXPECT_FALSE(r->error) << r->error->message;
    }
}

TEST(ReadJobLine, OptionsAJobCannotHave) {
    struct row {
        const char* options;  // JSON array text
        std::string message;
    };
    const std::string output_refused =
        "\nOption -o cannot be given in a job's options: the job's \"output\" names the image\n";
    const row rows[] = {
        {R"(["-o","x.png"])", output_refused},
        {R"(["-ox.png"])", output_refused},
        {R"(["-s","2","-to","x.png"])", output_refused},
        {R"(["-o"])", output_refused},
        {R"(["-B"])", "\nOption -B cannot be given in a job's options: the job is already in a batch\n"},
        {R"(["-tB"])", "\nOption -B cannot be given in a job's options: the job is already in a batch\n"},
        {R"(["-v"])", "\nOption -v cannot be given in a job's options: a job prints nothing but its result\n"},
        {R"(["-h","-s","0"])",
         "\nOption -h cannot be given in a job's options: a job prints nothing but its result\n"},
        {R"(["-f","?"])", "\nOption -f ? cannot be given in a job's options: a job prints nothing but its result\n"},
        {R"(["-f?x"])", "\nOption -f ?x cannot be given in a job's options: a job prints nothing but its result\n"},
        // What a lone run says, without its help text.
        {R"(["-s","0"])", "\nOversampling factor 0 is not a positive integer\n"},
        {R"(["-sv"])", "\nOversampling factor v is not a positive integer\n"},
        {R"(["-f","jpg"])", "\nUnknown format 'jpg'\n"},
        {R"(["-x","5"])", "\nHigh-density factor '5' is not 2, 3 or 4\n"},
        {R"(["-q"])", "batch-prog: invalid option -- 'q'\n"},
        {R"(["-t","-s"])", "batch-prog: option requires an argument -- 's'\n"},
        {R"(["-\u00e9"])", "batch-prog: invalid option -- '\xc3'\n"},
        // A lone run prints only the help text for these.
        {R"(["foo"])", "\nThe job's options have a word that is not an option: 'foo'\n"},
        {R"(["-t","foo","-v"])", "\nThe job's options have a word that is not an option: 'foo'\n"},
        {R"(["--","-v"])", "\nThe job's options have a word that is not an option: '-v'\n"},
        {R"(["-"])", "\nThe job's options have a word that is not an option: '-'\n"},
        {R"([""])", "\nThe job's options have a word that is not an option: ''\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.options);
        std::optional<read_line_result> got =
            read_job_line(job_with_options(r.options), 4, batch_defaults(), "batch-prog");
        ASSERT_TRUE(got);
        ASSERT_TRUE(got->error);
        EXPECT_EQ(got->error->message, r.message);
        EXPECT_EQ(got->job.output, "eq.png");
    }
}

// Parses a result line back, checking it is one line.
nlohmann::ordered_json parsed(const std::string& line) {
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    return nlohmann::ordered_json::parse(line);
}

std::vector<std::string> keys(const nlohmann::ordered_json& object) {
    std::vector<std::string> k;
    for (const auto& item : object.items())
        k.push_back(item.key());
    return k;
}

TEST(ResultLine, FieldsInOrder) {
    batch_job job;
    job.line = 12;
    job.id_json = R"({"n":[1,2]})";
    job.output = "img/\xce\xa9 \xc3\xa9.png";
    job.settings.hidpi_scale = 2;
    job_outcome ok;
    ok.status = 0;
    ok.report = R"(WIDTH=80 HEIGHT=19 STYLE="vertical-align: -2px; margin: 0;" SRCSET="img/%CE%A9%20%C3%A9@2x.png 2x")";
    ok.srcset = "img/%CE%A9%20%C3%A9@2x.png 2x";
    ok.hidpi_output = "img/\xce\xa9 \xc3\xa9@2x.png";
    ok.width = 80;
    ok.height = 19;
    ok.baseline_offset = -3;
    const std::string line = result_line(job, ok);
    EXPECT_EQ(line,
              "{\"line\":12,\"id\":{\"n\":[1,2]},\"output\":\"img/\xce\xa9 \xc3\xa9.png\",\"status\":0,"
              "\"report\":\"WIDTH=80 HEIGHT=19 STYLE=\\\"vertical-align: -2px; margin: 0;\\\" "
              "SRCSET=\\\"img/%CE%A9%20%C3%A9@2x.png 2x\\\"\",\"width\":80,\"height\":19,"
              "\"baseline_offset\":-3,\"srcset\":\"img/%CE%A9%20%C3%A9@2x.png 2x\","
              "\"hidpi_output\":\"img/\xce\xa9 \xc3\xa9@2x.png\"}\n");
    const nlohmann::ordered_json back = parsed(line);
    EXPECT_EQ(keys(back), (std::vector<std::string>{"line", "id", "output", "status", "report", "width", "height",
                                                    "baseline_offset", "srcset", "hidpi_output"}));
    EXPECT_EQ(back["output"], "img/\xce\xa9 \xc3\xa9.png");
    EXPECT_EQ(back["report"], ok.report);
}

TEST(ResultLine, FailuresAndOddText) {
    struct row {
        batch_job job;
        job_outcome outcome;
        std::string line;
        std::vector<std::string> keys;
        std::string error;  // as it reads back
    };
    batch_job plain;
    plain.line = 5;
    plain.output = "eq.png";
    batch_job bare;
    bare.line = 9;
    job_outcome tex_failure = failed_outcome(failure{"\nLaTeX error: \x01\x1b[0m\tline 3\x7f\n"});
    job_outcome bad_bytes = failed_outcome(failure{"\nbad \xff\xc3 bytes\n"});
    job_outcome srcset_without_x;
    srcset_without_x.status = 0;
    srcset_without_x.report = "WIDTH=1 HEIGHT=2";
    srcset_without_x.srcset = "eq@2x.png 2x";
    const row rows[] = {
        {plain, tex_failure,
         "{\"line\":5,\"output\":\"eq.png\",\"status\":1,"
         "\"error\":\"\\nLaTeX error: \\u0001\\u001b[0m\\tline 3\x7f\\n\"}\n",
         {"line", "output", "status", "error"}, "\nLaTeX error: \x01\x1b[0m\tline 3\x7f\n"},
        {bare, bad_bytes, "{\"line\":9,\"status\":1,\"error\":\"\\nbad \xef\xbf\xbd\xef\xbf\xbd bytes\\n\"}\n",
         {"line", "status", "error"}, "\nbad \xef\xbf\xbd\xef\xbf\xbd bytes\n"},
        {plain, srcset_without_x,
         "{\"line\":5,\"output\":\"eq.png\",\"status\":0,\"report\":\"WIDTH=1 HEIGHT=2\",\"width\":0,"
         "\"height\":0,\"baseline_offset\":0}\n",
         {"line", "output", "status", "report", "width", "height", "baseline_offset"}, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        const std::string line = result_line(r.job, r.outcome);
        EXPECT_EQ(line, r.line);
        const nlohmann::ordered_json back = parsed(line);
        EXPECT_EQ(keys(back), r.keys);
        if (!r.error.empty()) {
            EXPECT_EQ(back["error"], r.error);
        }
    }
}

// Through both halves: what a bad line's result says and echoes.
TEST(ResultLine, OfBadLines) {
    struct row {
        const char* text;
        const char* line;
    };
    const row rows[] = {
        {"[]", "{\"line\":3,\"status\":1,\"error\":\"\\nLine 3 is not a JSON object\\n\"}\n"},
        {R"({"id":"\u00e9\u0007","output":"\u03a9.png","formula":3})",
         "{\"line\":3,\"id\":\"\xc3\xa9\\u0007\",\"output\":\"\xce\xa9.png\",\"status\":1,"
         "\"error\":\"\\nLine 3: \\\"formula\\\" must be a string\\n\"}\n"},
        {R"({"id":null,"output":"o.png","formula":"x","options":["-\u00e9"]})",
         "{\"line\":3,\"id\":null,\"output\":\"o.png\",\"status\":1,"
         "\"error\":\"mathrast: invalid option -- '\xef\xbf\xbd'\\n\"}\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        std::optional<read_line_result> got = read(r.text, 3);
        ASSERT_TRUE(got);
        ASSERT_TRUE(got->error);
        EXPECT_EQ(result_line(got->job, failed_outcome(*got->error)), r.line);
    }
}

}  // namespace
