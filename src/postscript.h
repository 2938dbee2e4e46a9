// PostScript: the bounding box that dvips writes, the page Ghostscript
// renders it on, and the line that moves the box onto that page.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "records.h"

struct bounding_box {
    int32_t llx = 0, lly = 0, urx = 0, ury = 0;  // PostScript points
};

// Parses "%%BoundingBox: %i %i %i %i" at the start of the line.
std::optional<bounding_box> parse_bounding_box_line(const std::string& line);

// The first line of the stream that contains "%BoundingBox", parsed.
std::optional<bounding_box> read_bounding_box(std::FILE* stream);

struct render_geometry {
    int32_t render_resolution = 0;  // dots per inch
    int32_t page_width = 0;         // pixels
    int32_t page_height = 0;
};

// Page size in render pixels for the box, in 32-bit integer arithmetic:
// s * ((hi - lo) * resolution / 72 + 1) per side. A failure when a value
// does not fit or the page holds more than max_rendering_pixels.
result<render_geometry> compute_render_geometry(const bounding_box& box, int32_t resolution,
                                                int32_t oversampling_factor);

// The same page at n times the resolution: exactly n times as many pixels
// each way. A failure when that does not fit or is too large.
result<render_geometry> scaled_geometry(const render_geometry& one_x, int32_t n);

// The PostScript line that moves the box's corner to the page's corner.
std::string translate_line(const bounding_box& box);

// Room added around a rendering's page, in render pixels, where ink met the
// edge: the page grows by whole pixels and the content moves with it.
struct page_margins {
    int32_t left = 0, bottom = 0, top = 0, right = 0;
    bool any() const { return left || bottom || top || right; }
};

// The page with its margins added; a failure when that does not fit or is
// too large.
result<render_geometry> grown_geometry(const render_geometry& page, const page_margins& margins);

// The two renderings of a page, made in one Ghostscript run: the image pass
// draws everything but the baseline mark (the page's first glyph, drawn in
// white so that nothing else moves), the mark pass draws the mark alone.
// Each is code to run before the PostScript file, placing the box on a page
// of height page_height (without margins) grown by `margins`; with grid_scale
// n > 1 the page is rendered at n times the resolution with its origin where
// the 1x rendering has it.
std::string image_pass_code(const bounding_box& box, int32_t page_height,
                            const page_margins& margins, int32_t grid_scale = 1);
std::string mark_pass_code(const bounding_box& box, int32_t page_height,
                           const page_margins& margins);

// The same passes over a file of many pages, each placed by its entry in
// the table that page_table_code defines: one page after another gets its
// own page size (in points, at resolution r) and its box's corner.
struct table_page {
    render_geometry geometry;
    bounding_box box;
};
std::string page_table_code(const std::vector<table_page>& pages, int32_t r);
std::string image_pass_code_per_page();
std::string mark_pass_code_per_page();
