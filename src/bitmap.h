// Bitmap processing: reading Ghostscript's rendering and turning it into
// the antialiased output image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "records.h"

// A rendering read back, with libpng's warnings (text for the user, one
// "libpng warning: ..." line each), which do not stop the read.
struct rendered_bitmap {
    grey_bitmap bitmap;
    std::string warnings;
};

// Reads a greyscale PNG (1, 2, 4, 8 or 16 bits) into 8-bit grey: 1-bit
// black/white become 0/255, lower depths are scaled to the full range,
// 16 bits keep the high byte. A failure carries libpng's messages and our
// own; a file that cannot be opened fails with an empty message.
result<rendered_bitmap> read_rendered_png(const std::string& path);
result<rendered_bitmap> read_png_stream(std::FILE* stream,
                                        int64_t max_pixels = max_rendering_pixels);

// The sample at (x, y) when 0 <= x < width_bound and 0 <= y < height_bound,
// else the default.
uint8_t sample_or_default(const grey_bitmap& bitmap, int32_t x, int32_t y, int32_t width_bound,
                          int32_t height_bound, uint8_t fallback);

// Which sides of a page have ink (of either rendering) in their outermost
// row or column: there the page may have cut it off.
struct inked_edges {
    bool left = false, bottom = false, top = false, right = false;
    bool any() const { return left || bottom || top || right; }
};
inked_edges edges_with_ink(const grey_bitmap& image, const grey_bitmap& mark);

// The output image from the two renderings of one page: `image` without the
// baseline mark, `mark` with the mark alone. The offset comes from the mean
// row of the mark's pixels; the image starts right of the mark, or further
// left, by whole output pixels, where the formula's ink lies left of it, and
// ends at the last ink plus s. Rows added above and below the page
// (top_margin, bottom_margin render rows, multiples of s) are kept only as far
// as they hold ink, by whole output pixels. Fails when the mark has no ink.
result<downsampled_image> crop_from_passes(const grey_bitmap& image, const grey_bitmap& mark,
                                           int32_t s, int32_t top_margin = 0,
                                           int32_t bottom_margin = 0);

// The n-times image on the grid of `one_x`, made from a rendering of the
// same page at n times the resolution with the mark already erased: n times
// its width and height, output pixel (x, y) over 1x pixel (x / n, y / n)
// (the crop's column and row, times n, where the 1x image starts),
// its blocks moved by (dx, dy) rendering pixels. Samples outside the
// rendering count as paper.
grey_bitmap hidpi_downsample(const grey_bitmap& rendered, const downsampled_image& one_x,
                             int32_t n, int32_t s, int32_t dx = 0, int32_t dy = 0);

// Mean absolute difference between `one_x` and the n-times image averaged
// down by n; both must be of matching sizes.
double hidpi_difference(const grey_bitmap& one_x, const grey_bitmap& n_times, int32_t n);

// The n-times image whose blocks, moved by at most one rendering pixel (a
// fraction of a 1x pixel) each way, look most like `one_x`: Ghostscript
// places glyphs on a finer grid at the higher resolution.
grey_bitmap aligned_hidpi_image(const grey_bitmap& rendered, const downsampled_image& one_x,
                                int32_t n, int32_t s);

// n = input rows between the mark's mean row and the bottom, less 2s,
// divided by s and rounded as the offset has always been rounded.
int32_t baseline_offset_for(int32_t height, int32_t mark_mean_row, int32_t s);


