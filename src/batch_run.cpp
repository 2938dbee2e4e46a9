#include "batch_run.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <set>
#include <tuple>
#include <algorithm>

#include "batch_screen.h"
#include "driver.h"
#include "job_reader.h"
#include "process.h"
#include "shared_run.h"
#include "work_directory.h"

namespace {

// How many jobs wait for a shared run before it starts, and how long the
// input may pause before the jobs read so far start anyway.
constexpr std::size_t group_limit = 200;
constexpr int pause_milliseconds = 100;

// One input line that gets a result.
struct entry {
    batch_job job;
    std::optional<job_outcome> outcome;  // known once the job has run
};

// Standard input, read as it comes.
struct line_input {
    std::string partial;   // bytes of a line not yet complete
    bool overlong = false;  // the partial line passed the limit; the rest is dropped
    bool ended = false;
    int64_t next_line = 1;
};

// Adds one finished line: keeps what the job reader needs to refuse an
// overlong one.
void take_line(line_input& in, std::vector<std::pair<int64_t, std::string>>& lines) {
    lines.emplace_back(in.next_line++, std::move(in.partial));
    in.partial.clear();
    in.overlong = false;
}

// Waits up to `timeout` ms (-1: for ever) for input, then reads what is there.
// False when nothing came in time.
bool read_input(line_input& in, int timeout, std::vector<std::pair<int64_t, std::string>>& lines) {
    pollfd p{0, POLLIN, 0};
    int ready = poll(&p, 1, timeout);
    if (ready < 0 && errno == EINTR)
        return false;
    if (ready == 0)
        return false;
    char buffer[65536];
    ssize_t got = read(0, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
        return false;
    if (got <= 0) {
        in.ended = true;
        if (!in.partial.empty() || in.overlong)
            take_line(in, lines);
        return true;
    }
    for (ssize_t i = 0; i < got; ++i) {
        if (buffer[i] == '\n') {
            take_line(in, lines);
        } else if (in.partial.size() <= max_job_line_bytes) {
            in.partial += buffer[i];
        } else {
            in.overlong = true;
        }
    }
    return true;
}

// A job that the batch runs as a lone run would: its own private
// directory, latex, dvips and gs.
job_outcome run_alone(const batch_job& job) {
    result<job_target> target = locate_job(job.settings);
    if (!target)
        return failed_outcome(target.error);
    private_directory scratch;
    if (step_failure f = make_private_directory(target->absolute_work_dir, scratch))
        return failed_outcome(*f);
    work_area area = job_work_area(*target, scratch.path);
    area.diagnostics_path = path_in(scratch.path, ".diagnostics");
    // What the programs said goes before our own message, as on a terminal.
    const auto said = [&] {
        std::ifstream in(area.diagnostics_path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    result<rendered_job> rendered = render_job(job.settings, area, {&job.formula, 0}, nullptr);
    if (!rendered)
        return failed_outcome(failure{said() + rendered.error.message});
    result<std::string> delivered = deliver_job(job.settings, *target, area, *rendered, nullptr);
    if (!delivered)
        return failed_outcome(failure{said() + delivered.error.message});
    return finished_outcome(*target, *rendered, job.settings);
}

// Jobs that may share a run: same preamble, same output directory (its
// files are found as in a lone run there), same rendering resolution.
using group_key = std::tuple<std::string, std::string, int32_t, int32_t>;

struct batch_state {
    std::deque<entry> entries;  // in input order, from the first without a written result
    std::size_t done = 0, failed = 0;
    bool write_failed = false;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool verbose = false;
    bool terminal = false;
};

void report_progress(batch_state& state, bool final) {
    if (!state.verbose)
        return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - state.started).count();
    const double rate = seconds > 0 ? static_cast<double>(state.done) / seconds : 0.0;
    std::fprintf(stderr, "%s%zu jobs done, %zu failed, %.1f jobs/s%s", state.terminal ? "\r" : "",
                 state.done, state.failed, rate, state.terminal && !final ? "" : "\n");
    std::fflush(stderr);
}

// Writes, in order, every result known from the front.
void write_ready_results(batch_state& state) {
    bool wrote = false;
    while (!state.entries.empty() && state.entries.front().outcome) {
        const entry& e = state.entries.front();
        const std::string line = result_line(e.job, *e.outcome);
        if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size())
            state.write_failed = true;
        ++state.done;
        if (e.outcome->status != 0)
            ++state.failed;
        state.entries.pop_front();
        wrote = true;
    }
    if (wrote && std::fflush(stdout) != 0)
        state.write_failed = true;
}

// The names a job may write or replace: its image, its n-times image, and
// the log or DVI file kept under its base name after a failure.
std::vector<std::string> claimed_names(const job_target& target) {
    std::vector<std::string> names = {path_in(target.absolute_work_dir, target.path.work_base + ".")};
    if (target.output_file)
        names.push_back(path_in(target.absolute_work_dir, *target.output_file));
    if (target.hidpi_file)
        names.push_back(path_in(target.absolute_work_dir, *target.hidpi_file));
    return names;
}

// Runs the jobs without an outcome, shared where the screen allows. A job
// that touches a name an earlier waiting job touches waits for a later
// round, so that the files end as lone runs in input order leave them.
void run_round(batch_state& state) {
    // Entries stay where they are while a round runs (only finished ones
    // leave the front); the index is for the order of lone runs.
    std::map<group_key, std::vector<std::pair<std::size_t, entry*>>> groups;
    std::vector<std::pair<std::size_t, entry*>> alone;
    std::set<std::string> claimed;
    for (std::size_t i = 0; i < state.entries.size(); ++i) {
        entry& e = state.entries[i];
        if (e.outcome)
            continue;
        const job_settings& s = e.job.settings;
        result<job_target> target = locate_job(s);
        if (!target) {
            e.outcome = failed_outcome(target.error);
            continue;
        }
        bool conflict = false;
        for (const std::string& name : claimed_names(*target))
            conflict = !claimed.insert(name).second || conflict;
        if (conflict)
            continue;
        if (may_share_run(s, e.job.formula))
            groups[{s.preamble, target->absolute_work_dir, s.resolution, s.oversampling_factor}]
                .emplace_back(i, &e);
        else
            alone.emplace_back(i, &e);
    }
    write_ready_results(state);
    for (auto& [key, members] : groups) {
        if (interrupt_signal())
            return;
        std::vector<const batch_job*> jobs;
        for (auto& member : members)
            jobs.push_back(&member.second->job);
        std::vector<std::optional<job_outcome>> outcomes =
            members.size() > 1 ? run_shared(jobs) : std::vector<std::optional<job_outcome>>(1);
        for (std::size_t k = 0; k < members.size(); ++k) {
            if (outcomes[k])
                members[k].second->outcome = std::move(*outcomes[k]);
            else
                alone.push_back(members[k]);
        }
        write_ready_results(state);
        report_progress(state, false);
    }
    std::sort(alone.begin(), alone.end());
    for (auto& [index, e] : alone) {
        if (interrupt_signal())
            return;
        e->outcome = run_alone(e->job);
        write_ready_results(state);
        report_progress(state, false);
    }
}

// Runs rounds until every job read so far has its outcome.
void run_waiting(batch_state& state) {
    const auto waiting = [&] {
        return std::any_of(state.entries.begin(), state.entries.end(),
                           [](const entry& e) { return !e.outcome; });
    };
    while (!interrupt_signal() && waiting())
        run_round(state);
}

}  // namespace

int run_batch(const job_settings& defaults, const char* program) {
    batch_state state;
    state.verbose = defaults.verbose;
    state.terminal = isatty(2) != 0;
    job_settings job_defaults = defaults;
    job_defaults.verbose = false;
    job_defaults.batch = false;

    line_input in;
    std::size_t waiting = 0;  // jobs read and not yet run
    while (!interrupt_signal()) {
        std::vector<std::pair<int64_t, std::string>> lines;
        const bool came = !in.ended && read_input(in, waiting ? pause_milliseconds : -1, lines);
        for (auto& [number, text] : lines) {
            std::optional<read_line_result> read = read_job_line(text, number, job_defaults, program);
            if (!read)
                continue;  // a blank line gets no result
            entry e{std::move(read->job), std::nullopt};
            if (read->error)
                e.outcome = failed_outcome(*read->error);
            else
                ++waiting;
            state.entries.push_back(std::move(e));
        }
        write_ready_results(state);
        if (waiting > 0 && (waiting >= group_limit || !came || in.ended)) {
            run_waiting(state);
            waiting = 0;
        }
        if (in.ended && state.entries.empty())
            break;
    }
    report_progress(state, true);
    if (interrupt_signal()) {
        std::fputs(interrupted_message().c_str(), stderr);
        return 1;
    }
    if (state.write_failed) {
        std::fputs("\nError writing the results\n", stderr);
        return 1;
    }
    return state.failed > 0 ? 1 : 0;
}
