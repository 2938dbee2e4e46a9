// PostScript: the bounding box that dvips writes, the page Ghostscript
// renders it on, and the line that moves the box onto that page.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

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
