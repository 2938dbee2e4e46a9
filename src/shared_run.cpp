#include "shared_run.h"

#include "bitmap.h"
#include "document.h"
#include "driver.h"
#include "process.h"
#include "stages.h"
#include "work_directory.h"

job_outcome finished_outcome(const job_target& target, const rendered_job& rendered,
                             const job_settings& settings) {
    job_outcome outcome;
    outcome.status = 0;
    const downsampled_image& image = rendered.image;
    outcome.report = report_line(image.image.width, image.image.height, image.baseline_offset,
                                 target.srcset);
    outcome.width = image.image.width;
    outcome.height = image.image.height;
    outcome.baseline_offset = image.baseline_offset;
    if (target.hidpi_file) {
        outcome.srcset = target.srcset;
        outcome.hidpi_output = hidpi_name(*settings.output_name, settings.hidpi_scale);
    }
    return outcome;
}

namespace {

// Typesets the pages; false (with whether splitting may help) when the run
// is in doubt.
enum class typeset_result { done, split, give_up };

typeset_result typeset(const std::vector<const batch_job*>& jobs, const work_area& area) {
    std::vector<document_page> pages;
    for (const batch_job* job : jobs)
        pages.push_back({job->settings.environment, job->formula});
    const job_settings& first = jobs.front()->settings;
    if (step_failure f = run_shared_latex_stage(area, shared_document(first.preamble, pages))) {
        // A runaway formula would cost every half its time limit again.
        const bool timed_out = f->message.find("time limit") != std::string::npos;
        return timed_out || interrupt_signal() ? typeset_result::give_up : typeset_result::split;
    }
    result<std::vector<bounding_box>> boxes = run_pages_dvips_stage(area, jobs.size());
    if (!boxes)
        return typeset_result::split;
    if (run_pages_raster_stage(area, *boxes, first.resolution, first.oversampling_factor))
        return typeset_result::give_up;
    return typeset_result::done;
}

}  // namespace

std::vector<std::optional<job_outcome>> run_shared(const std::vector<const batch_job*>& jobs) {
    std::vector<std::optional<job_outcome>> outcomes(jobs.size());
    if (jobs.empty() || interrupt_signal())
        return outcomes;
    result<job_target> place = locate_job(jobs.front()->settings);
    private_directory scratch;
    if (!place || make_private_directory(place->absolute_work_dir, scratch))
        return outcomes;
    work_area area = job_work_area(*place, scratch.path);
    area.diagnostics_path = path_in(scratch.path, ".diagnostics");

    switch (typeset(jobs, area)) {
    case typeset_result::give_up:
        return outcomes;
    case typeset_result::split: {
        if (jobs.size() == 1)
            return outcomes;
        const auto middle = jobs.begin() + static_cast<std::ptrdiff_t>(jobs.size() / 2);
        std::vector<std::optional<job_outcome>> front = run_shared({jobs.begin(), middle});
        std::vector<std::optional<job_outcome>> back = run_shared({middle, jobs.end()});
        front.insert(front.end(), std::make_move_iterator(back.begin()),
                     std::make_move_iterator(back.end()));
        return front;
    }
    case typeset_result::done:
        break;
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const job_settings& settings = jobs[i]->settings;
        result<job_target> target = locate_job(settings);
        const auto file = [&](std::size_t n) { return work_file(area, ("-" + std::to_string(n) + ".png").c_str()); };
        result<page_renderings> pages =
            read_page_renderings(area, file(i + 1), file(jobs.size() + i + 1));
        // Ink at an edge needs a page of its own, grown where the ink is.
        if (!pages || edges_with_ink(pages->image, pages->mark).any())
            continue;
        result<rendered_job> rendered = finish_rendering(settings, *pages);
        if (!target || !rendered)
            continue;  // in doubt: the job's lone run says what is wrong
        area.work_base = target->path.work_base;
        if (deliver_job(settings, *target, area, *rendered, nullptr))
            outcomes[i] = finished_outcome(*target, *rendered, settings);
    }
    return outcomes;
}
