// libFuzzer target: arbitrary bytes as one input line of a batch, read as
// a job; every line that is not blank gets its result lines written. A
// result must be one line of valid JSON, whatever the bytes were.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "job_reader.h"

namespace {

void check_result(const std::string& line) {
    if (line.empty() || line.find('\n') != line.size() - 1)
        std::abort();
    (void)nlohmann::json::parse(line);  // throws, and so fails, on invalid JSON
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    job_settings defaults;
    defaults.batch = true;
    std::optional<read_line_result> read = read_job_line(text, 1, defaults, "mathrast");
    if (!read)
        return 0;
    if (read->error) {
        check_result(result_line(read->job, failed_outcome(*read->error)));
        return 0;
    }
    // Outcomes carrying the raw bytes: an error text can be anything.
    check_result(result_line(read->job, failed_outcome(failure{text})));
    job_outcome ok;
    ok.status = 0;
    ok.report = text;
    ok.srcset = read->job.formula;
    ok.hidpi_output = read->job.output.value_or("");
    check_result(result_line(read->job, ok));
    return 0;
}
