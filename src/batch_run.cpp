#include "batch_run.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <tuple>
#include <algorithm>

#include "batch_screen.h"
#include "document.h"
#include "driver.h"
#include "job_reader.h"
#include "process.h"
#include "shared_run.h"
#include "work_directory.h"

// A job's formula is judged whole for the document, as its lone run judges it.
static_assert(max_job_line_bytes < formula_read_limit);

namespace {

// How many jobs wait for a shared run before it starts, and how long the
// input may pause before the jobs read so far start anyway.
constexpr std::size_t group_limit = 500;
constexpr int pause_milliseconds = 100;
// The fewest jobs worth a shared run of their own when a group is split.
constexpr std::size_t min_piece = 20;

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
    const auto said = [&] { return read_work_file(area.diagnostics_path); };
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
    std::size_t units_done = 0, units_reported = 0;  // groups and lone jobs finished
};

// On a terminal, one line kept up to date; elsewhere a line per finished
// group (or job alone) and one at the end.
void report_progress(batch_state& state, bool final) {
    const bool news = state.units_done != state.units_reported || (final && state.units_done == 0);
    if (!state.verbose || (!state.terminal && !news))
        return;
    state.units_reported = state.units_done;
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

// Work for one worker: a shared group, or one job alone.
struct work_unit {
    std::vector<entry*> entries;
    bool shared = false;
};

// The jobs without an outcome, in units: groups that may share a run (in as
// many pieces as there are workers when large), then each other job. A job
// that touches a name an earlier waiting job touches waits for a later
// round, so that the files end as lone runs in input order leave them.
std::vector<work_unit> plan_round(batch_state& state, unsigned workers) {
    std::map<group_key, std::vector<entry*>> groups;
    std::vector<work_unit> alone;
    std::set<std::string> claimed;
    for (entry& e : state.entries) {
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
                .push_back(&e);
        else
            alone.push_back({{&e}, false});
    }
    std::vector<work_unit> units;
    for (auto& [key, members] : groups) {
        // Each piece's fixed cost (the start of latex, dvips and gs) is still
        // shared by enough jobs.
        const std::size_t pieces = members.size() >= 2 * min_piece ? workers : 1;
        const std::size_t per_piece = (members.size() + pieces - 1) / pieces;
        for (std::size_t start = 0; start < members.size(); start += per_piece) {
            const auto from = members.begin() + static_cast<std::ptrdiff_t>(start);
            const auto to = members.begin() +
                            static_cast<std::ptrdiff_t>(std::min(members.size(), start + per_piece));
            units.push_back({{from, to}, to - from > 1});
        }
    }
    units.insert(units.end(), alone.begin(), alone.end());
    return units;
}

// Runs one unit; each outcome is set under the lock as soon as it is known.
void run_unit(const work_unit& unit, std::mutex& lock, std::condition_variable& changed) {
    std::vector<std::optional<job_outcome>> outcomes(unit.entries.size());
    if (unit.shared) {
        std::vector<const batch_job*> jobs;
        for (entry* e : unit.entries)
            jobs.push_back(&e->job);
        outcomes = run_shared(jobs);
    }
    for (std::size_t k = 0; k < outcomes.size(); ++k) {
        // In doubt, or never meant to share: as a lone run would.
        if (!outcomes[k] && !interrupt_signal())
            outcomes[k] = run_alone(unit.entries[k]->job);
        std::lock_guard<std::mutex> hold(lock);
        if (outcomes[k])
            unit.entries[k]->outcome = std::move(*outcomes[k]);
        changed.notify_one();
    }
}

// Two workers take the units in turn (typesetting one group while another
// renders); this thread writes the results as they become known.
void run_round(batch_state& state) {
    const unsigned workers = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
    const std::vector<work_unit> units = plan_round(state, workers);
    write_ready_results(state);
    std::mutex lock;
    std::condition_variable changed;
    std::size_t next = 0, running = workers;
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (;;) {
                std::unique_lock<std::mutex> hold(lock);
                if (next == units.size() || interrupt_signal())
                    break;
                const work_unit& unit = units[next++];
                hold.unlock();
                run_unit(unit, lock, changed);
                hold.lock();
                ++state.units_done;
            }
            std::lock_guard<std::mutex> hold(lock);
            --running;
            changed.notify_one();
        });
    {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            write_ready_results(state);
            report_progress(state, false);
            if (running == 0)
                break;
            changed.wait(hold);
        }
    }
    for (auto& thread : threads)
        thread.join();
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
