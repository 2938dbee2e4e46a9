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

std::string report_line(int32_t width, int32_t height, int32_t baseline_offset,
                        const std::string& srcset) {
    // The image is lowered by the offset; a negative offset raises it, and
    // "--2px" would not be a CSS length.
    std::string offset = baseline_offset < 0 ? std::to_string(-int64_t{baseline_offset})
                                             : "-" + std::to_string(baseline_offset);
    std::string line = "WIDTH=" + std::to_string(width) + " HEIGHT=" + std::to_string(height) +
                       " STYLE=\"vertical-align: " + offset + "px; margin: 0;\"";
    if (!srcset.empty())
        line += " SRCSET=\"" + srcset + "\"";
    return line;
}

std::string hidpi_name(const std::string& output_name, int32_t n) {
    const std::size_t slash = output_name.rfind('/');
    const std::size_t dot = output_name.rfind('.');
    const bool has_extension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    std::string name = output_name;
    name.insert(has_extension ? dot : name.size(), "@" + std::to_string(n) + "x");
    return name;
}

std::string percent_encoded(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= ' ' || c == 127 || c == ',' || c == '"' || c == '\'' || c == '<' || c == '>' ||
            c == '&' || c == '%') {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
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
        if (settings.hidpi_scale > 1) {
            const std::string name = hidpi_name(*settings.output_name, settings.hidpi_scale);
            target.hidpi_file = output_file_name(split_output_path(name));
            target.srcset = percent_encoded(name) + " " + std::to_string(settings.hidpi_scale) + "x";
        }
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
    return work_area{target.absolute_work_dir, private_dir, target.path.work_base, {}};
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
                                formula_source formula, std::FILE* progress) {
    step_failure stage =
        run_latex_stage(area, settings.preamble, settings.environment, progress, formula);
    if (!stage)
        stage = run_dvips_stage(area, progress);
    if (stage)
        return stage_failure(*stage);
    result<page_renderings> pages = run_raster_stage(
        area, settings.resolution, settings.oversampling_factor, settings.hidpi_scale, progress);
    if (!pages)
        return stage_failure(pages.error);
    return finish_rendering(settings, *pages);
}

result<rendered_job> finish_rendering(const job_settings& settings, const page_renderings& pages) {
    const int32_t s = settings.oversampling_factor;
    result<downsampled_image> out =
        crop_from_passes(pages.image, pages.mark, s, pages.margins.top, pages.margins.bottom);
    if (!out)
        return out.error;
    rendered_job job{std::move(*out), std::nullopt, pages.warnings};
    if (pages.hidpi)
        job.hidpi_image = aligned_hidpi_image(*pages.hidpi, job.image, settings.hidpi_scale, s);
    if (interrupt_signal())
        return failure{interrupted_message()};
    return job;
}

result<std::string> deliver_job(const job_settings& settings, const job_target& target,
                                const work_area& area, const rendered_job& rendered,
                                std::FILE* progress) {
    if (progress)
        std::fputs(settings.format == image_format::gif ? " -> Writing gif image"
                                                        : " -> Writing png image",
                   progress);
    std::vector<result<encoded_image>> encoded;
    encoded.push_back(encode_image(rendered.image.image, settings));
    if (rendered.hidpi_image && encoded.back())
        encoded.push_back(encode_image(*rendered.hidpi_image, settings));
    std::string messages;
    bool written = true;
    for (const auto& e : encoded) {
        messages += e ? e->warnings : e.error.message;
        written = written && e;
    }
    if (written && !target.output_file) {
        written = publish_to_stdout(encoded[0]->bytes);
    } else if (written) {
        // The n-times image goes into place first, so a page that finds the
        // image finds its srcset too.
        std::vector<image_file> files;
        if (encoded.size() > 1)
            files.push_back({encoded[1]->bytes, path_in(area.absolute_work_dir, *target.hidpi_file),
                             work_file(area, ".hidpi.out")});
        files.push_back({encoded[0]->bytes, path_in(area.absolute_work_dir, *target.output_file),
                         work_file(area, ".out")});
        written = publish_files(files);
    }
    if (interrupt_signal())
        return failure{interrupted_message()};
    if (!written)
        return failure{messages + "\nError writing image to '" +
                       (target.output_file ? *target.output_file : "stdout") + "'\n"};
    return messages;
}
