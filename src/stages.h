// The typesetting stages: latex, dvips and Ghostscript, each run on the work
// files of one run in its private directory. Each writes its progress piece
// to `progress` (none: quiet) and returns its failure as a value; after an
// interruption that message may be empty (the caller reports the signal).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <optional>
#include <vector>

#include "postscript.h"
#include "records.h"
#include "work_directory.h"

// Where a formula comes from: its text, or else what can be read from a
// descriptor (standard input for a lone run) up to its end.
struct formula_source {
    const std::string* text = nullptr;
    int descriptor = 0;
};

// Writes the document around the formula and runs latex. Leaves the DVI
// file; on failure keeps the log as <work_base>.log and its message shows
// the first TeX error.
step_failure run_latex_stage(const work_area& area, const std::string& preamble,
                             const std::string& environment, std::FILE* progress,
                             formula_source formula);

// Runs dvips; on failure keeps the DVI file as <work_base>.dvi.
step_failure run_dvips_stage(const work_area& area, std::FILE* progress);

// The shared road: latex on a document of many pages (its text given).
step_failure run_shared_latex_stage(const work_area& area, const std::string& document);

// dvips writing each page as a file of its own; the pages' boxes, once
// every page is there and carries its own page number (1, 2, ...).
result<std::vector<bounding_box>> run_pages_dvips_stage(const work_area& area, std::size_t pages);

// dvips again for the whole document as one file, then Ghostscript
// rendering every page, each on its own page size, in one run: page i's
// image into the work file "-<i>.png", its mark into "-<n+i>.png".
step_failure run_pages_raster_stage(const work_area& area, const std::vector<bounding_box>& boxes,
                                    int32_t resolution, int32_t oversampling_factor);

// What Ghostscript made of the page: the image without the baseline mark,
// the mark alone (the same size), the room added around the page where ink
// met its edge, and with -x the image at n times the resolution.
struct page_renderings {
    grey_bitmap image;
    grey_bitmap mark;
    page_margins margins;
    std::optional<grey_bitmap> hidpi;
    std::string warnings;  // libpng's, for the user
};

// Reads the bounding box, has Ghostscript render the page (again on a larger
// page where ink meets an edge, with the pixel grid kept), and at
// hidpi_scale times the resolution when that is over 1, and reads the
// renderings back.
result<page_renderings> run_raster_stage(const work_area& area, int32_t resolution,
                                         int32_t oversampling_factor, int32_t hidpi_scale,
                                         std::FILE* progress);

// Reads two renderings of a page (image and mark) back and removes their
// files; a failure names the rendering as <work_base>.ps.png.
result<page_renderings> read_page_renderings(const work_area& area, const std::string& image_file,
                                             const std::string& mark_file);
