#include "lone_run.h"

#include <cstdio>

#include "driver.h"
#include "work_directory.h"

namespace {

// The one place where a lone run's failures reach the user.
int fail(const failure& f) {
    std::fputs(f.message.c_str(), stderr);
    return 1;
}

}  // namespace

int run_job(const job_settings& settings) {
    result<job_target> target = locate_job(settings);
    if (!target.ok())
        return fail(target.error);
    private_directory scratch;
    if (step_failure f = make_private_directory(target.value->absolute_work_dir, scratch))
        return fail(*f);
    const work_area area = job_work_area(*target.value, scratch.path);
    std::FILE* progress = settings.verbose ? stderr : nullptr;

    result<rendered_job> rendered = render_job(settings, area, formula_source{}, progress);
    if (!rendered.ok())
        return fail(rendered.error);
    std::fputs(rendered.value->warnings.c_str(), stderr);
    const downsampled_image& image = rendered->image;
    result<std::string> delivered = deliver_job(settings, *target.value, area, *rendered, progress);
    if (!delivered.ok())
        return fail(delivered.error);
    std::fputs(delivered.value->c_str(), stderr);

    // The caller needs this line to place the image: losing it is a failure.
    std::FILE* report_stream = target.value->output_file ? stdout : stderr;
    std::fputs(report_line(image.image.width, image.image.height, image.baseline_offset,
                           target->srcset)
                   .c_str(),
               report_stream);
    if (std::fflush(report_stream) != 0 || std::ferror(report_stream))
        return fail(failure{"\nError writing the report line\n"});
    return 0;
}
