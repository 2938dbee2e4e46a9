#include "driver.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "bitmap.h"
#include "process.h"
#include "publish.h"
#include "stages.h"
#include "writers.h"

output_path split_output_path(const std::string& name) {
    output_path p;
    std::string rest = name;
    std::size_t slash = name.rfind('/');
    if (slash == std::string::npos) {
        p.work_dir = ".";
    } else {
        // An empty directory part means the name began with "/": the root.
        p.work_dir = slash == 0 ? "/" : name.substr(0, slash);
        rest = name.substr(slash + 1);
    }
    std::size_t dot = rest.rfind('.');
    if (dot == std::string::npos) {
        p.work_base = rest;
    } else {
        p.work_base = rest.substr(0, dot);
        p.extension = rest.substr(dot + 1);
    }
    return p;
}

std::string output_file_name(const output_path& path) {
    return path.extension ? path.work_base + "." + *path.extension : path.work_base;
}

std::string report_line(int32_t width, int32_t height, int32_t baseline_offset) {
    // The image is lowered by the offset; a negative offset raises it, and
    // "--2px" would not be a CSS length.
    std::string offset = baseline_offset < 0 ? std::to_string(-int64_t{baseline_offset})
                                             : "-" + std::to_string(baseline_offset);
    return "WIDTH=" + std::to_string(width) + " HEIGHT=" + std::to_string(height) +
           " STYLE=\"vertical-align: " + offset + "px; margin: 0;\"";
}

namespace {

// Whether the process could make `dir` its working directory.
bool usable_directory(const std::string& dir) {
    struct stat st;
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           faccessat(AT_FDCWD, dir.c_str(), X_OK, AT_EACCESS) == 0;
}

std::optional<std::string> absolute_path(const std::string& dir) {
    char* resolved = realpath(dir.c_str(), nullptr);
    if (!resolved)
        return std::nullopt;
    std::string path(resolved);
    std::free(resolved);
    return path;
}

}  // namespace

result<job_target> locate_job(const job_settings& settings) {
    job_target target;
    target.path.work_dir = ".";
    target.path.work_base = "noname";
    if (settings.output_name) {
        target.path = split_output_path(*settings.output_name);
        target.output_file = output_file_name(target.path);
        if (target.output_file->empty())
            return failure{"\nNo file name in output name '" + *settings.output_name + "'\n"};
    }
    const std::string& dir = target.path.work_dir;
    if (!usable_directory(dir))
        return failure{"\nCannot change to directory '" + dir + "'\n"};
    std::optional<std::string> absolute = absolute_path(dir);
    if (!absolute)
        return failure{"\nCannot find the path of directory '" + dir + "'\n"};
    target.absolute_work_dir = *absolute;
    return target;
}

work_area job_work_area(const job_target& target, const std::string& private_dir) {
    return work_area{target.absolute_work_dir, private_dir, target.path.work_base};
}

namespace {

// A stage's failure, and the interruption that may have caused it.
failure stage_failure(failure f) {
    if (interrupt_signal())
        f.message += interrupted_message();
    return f;
}

}  // namespace

result<rendered_job> render_job(const job_settings& settings, const work_area& area,
                                int formula_in, std::FILE* progress) {
    step_failure stage = run_latex_stage(area, settings.preamble, settings.environment, progress,
                                         formula_in);
    if (!stage)
        stage = run_dvips_stage(area, progress);
    if (!stage)
        stage = run_raster_stage(area, settings.resolution, settings.oversampling_factor,
                                 progress);
    if (stage)
        return stage_failure(*stage);

    const std::string rendered_name = work_file(area, ".ps.png");
    result<rendered_bitmap> rendered = read_rendered_png(rendered_name);
    unlink(rendered_name.c_str());
    if (!rendered.ok())
        return failure{rendered.error.message + "\nError reading '" + area.work_base +
                       ".ps.png'\n"};

    result<downsampled_image> out =
        crop_and_downsample(rendered.value->bitmap, settings.oversampling_factor);
    if (!out.ok())
        return out.error;
    if (interrupt_signal())
        return failure{interrupted_message()};
    return rendered_job{std::move(*out.value), std::move(rendered.value->warnings)};
}

result<std::string> deliver_job(const job_settings& settings, const job_target& target,
                         const work_area& area, const downsampled_image& image,
                         std::FILE* progress) {
    if (progress)
        std::fputs(settings.format == image_format::gif ? " -> Writing gif image"
                                                        : " -> Writing png image",
                   progress);
    result<encoded_image> encoded = encode_image(image.image, settings);
    std::string messages = encoded.ok() ? encoded.value->warnings : encoded.error.message;
    std::optional<std::string> destination;
    if (target.output_file)
        destination = path_in(area.absolute_work_dir, *target.output_file);
    const bool written =
        encoded.ok() && publish(encoded.value->bytes, destination, work_file(area, ".out"));
    if (interrupt_signal())
        return failure{interrupted_message()};
    if (!written)
        return failure{messages + "\nError writing image to '" +
                       (target.output_file ? *target.output_file : "stdout") + "'\n"};
    return messages;
}
