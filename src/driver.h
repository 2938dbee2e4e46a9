// The steps of one job, shared by every road: where it works, rendering
// the formula, and delivering the image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "records.h"
#include "stages.h"
#include "work_directory.h"

// An -o name taken apart.
struct output_path {
    std::string work_dir;                  // as written; "." without a "/", "/" for "/x.png"
    std::string work_base;                 // last component up to its last "."
    std::optional<std::string> extension;  // after that ".", none without one
};

output_path split_output_path(const std::string& name);

// The output file name: work_base, plus "." and the extension if any.
std::string output_file_name(const output_path& path);

// "WIDTH=%i HEIGHT=%i STYLE=\"vertical-align: -%ipx; margin: 0;\"", with a
// negative offset shown as a valid CSS length, and SRCSET="<srcset>" after
// it when a srcset value is given.
std::string report_line(int32_t width, int32_t height, int32_t baseline_offset,
                        const std::string& srcset = {});

// The -o name with "@<n>x" before the extension of its last component.
std::string hidpi_name(const std::string& output_name, int32_t n);

// Blanks, commas, quotes, <, >, &, % and control bytes as %XX, so the name
// stands as one candidate in a srcset attribute.
std::string percent_encoded(const std::string& text);

// Where a job works and what it writes.
struct job_target {
    output_path path;                        // "noname" in "." without -o
    std::optional<std::string> output_file;  // the user's file name; none: stdout
    std::string absolute_work_dir;
    std::optional<std::string> hidpi_file;   // with -x: the n-times image's file name
    std::string srcset;                      // with -x: "<-o name with @nx> nx", encoded
};

// Checks the output name and its directory before any work is done.
result<job_target> locate_job(const job_settings& settings);

// The work area of a job whose private directory has been made.
work_area job_work_area(const job_target& target, const std::string& private_dir);

// The rendered image (and its n-times image with -x), and libpng's
// warnings met on the way.
struct rendered_job {
    downsampled_image image;
    std::optional<grey_bitmap> hidpi_image;
    std::string warnings;
};

// latex, dvips and gs on the formula, then the rendering read back,
// cropped and downsampled.
result<rendered_job> render_job(const job_settings& settings, const work_area& area,
                                formula_source formula, std::FILE* progress);

// The renderings of a page cropped and downsampled into the image; with -x,
// the n-times image too.
result<rendered_job> finish_rendering(const job_settings& settings, const page_renderings& pages);

// Encodes the image in the job's format and publishes it. On success, the
// encoder's warnings for the user (usually none).
result<std::string> deliver_job(const job_settings& settings, const job_target& target,
                                const work_area& area, const rendered_job& rendered,
                                std::FILE* progress);
