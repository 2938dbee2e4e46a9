#include "driver.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bitmap.h"
#include "process.h"
#include "stages.h"
#include "writers.h"

output_path split_output_path(const std::string& name) {
    output_path p;
    std::string rest = name;
    std::size_t slash = name.rfind('/');
    if (slash == std::string::npos) {
        p.work_dir = ".";
    } else {
        p.work_dir = name.substr(0, slash);
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

int interrupted_status() {
    std::fprintf(stderr,
                 "\nInterrupted by signal %i; the run was stopped and its work files removed\n",
                 interrupt_signal());
    return 1;
}

std::string current_directory() {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()))
            return buffer.data();
        if (errno != ERANGE)
            return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

int run_job(const job_settings& settings) {
    output_path path;
    path.work_dir = ".";
    path.work_base = "noname";
    std::optional<std::string> output_file;
    if (settings.output_name) {
        path = split_output_path(*settings.output_name);
        output_file = output_file_name(path);
    }
    // An empty directory part means the name began with "/": the root.
    const std::string dir = path.work_dir.empty() ? "/" : path.work_dir;
    if (chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "\nCannot change to directory '%s'\n", path.work_dir.c_str());
        return 1;
    }

    work_area area;
    area.work_dir = current_directory();
    area.work_base = path.work_base;
    if (area.work_dir.empty()) {
        std::fprintf(stderr, "\nCannot find the path of directory '%s'\n", path.work_dir.c_str());
        return 1;
    }
    private_directory scratch;
    if (!make_private_directory(scratch))
        return 1;
    area.private_dir = scratch.name;

    if (run_latex_stage(area, settings.preamble, settings.environment, settings.verbose) != 0 ||
        run_dvips_stage(area, settings.verbose) != 0 ||
        run_raster_stage(area, settings.resolution, settings.oversampling_factor,
                         settings.verbose) != 0)
        return interrupt_signal() ? interrupted_status() : 1;

    const std::string rendered_name = work_file(area, ".ps.png");
    std::optional<grey_bitmap> rendered = read_rendered_png(rendered_name.c_str());
    unlink(rendered_name.c_str());
    if (!rendered) {
        std::fprintf(stderr, "\nError reading '%s'\n", (path.work_base + ".ps.png").c_str());
        return 1;
    }

    std::optional<downsampled_image> out =
        crop_and_downsample(*rendered, settings.oversampling_factor);
    rendered.reset();
    if (!out) {
        std::fputs("\nImage doesn't start with a dot\n", stderr);
        return 1;
    }
    if (interrupt_signal())
        return interrupted_status();

    if (settings.verbose)
        std::fputs(settings.format == image_format::gif ? " -> Writing gif image"
                                                        : " -> Writing png image",
                   stderr);
    // A file is written under a private name and renamed into place when
    // complete, so no reader ever sees half an image under the output name.
    const std::string temporary = work_file(area, ".out");
    const char* target = output_file ? temporary.c_str() : nullptr;
    auto writer = settings.format == image_format::gif ? write_gif_image : write_png_image;
    int written = writer(out->image, target, settings.foreground, settings.background,
                         settings.transparent);
    if (written == 0 && output_file && !interrupt_signal() &&
        std::rename(temporary.c_str(), output_file->c_str()) != 0)
        written = -1;
    if (interrupt_signal())
        return interrupted_status();
    if (written != 0) {
        std::fprintf(stderr, "\nError writing image to '%s'\n",
                     output_file ? output_file->c_str() : "stdout");
        return 1;
    }

    // The caller needs this line to place the image: losing it is a failure.
    std::FILE* report_stream = output_file ? stdout : stderr;
    std::fputs(report_line(out->image.width, out->image.height, out->baseline_offset).c_str(),
               report_stream);
    if (std::fflush(report_stream) != 0 || std::ferror(report_stream)) {
        std::fputs("\nError writing the report line\n", stderr);
        return 1;
    }
    return 0;
}
