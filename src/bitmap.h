// Bitmap processing: reading Ghostscript's rendering and turning it into
// the antialiased output image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>

#include "records.h"

// Largest rendering we accept, in pixels (checked before any allocation).
constexpr int64_t max_bitmap_pixels = int64_t{1} << 28;

// Reads a greyscale PNG (1, 2, 4, 8 or 16 bits) into 8-bit grey: 1-bit
// black/white become 0/255, lower depths are scaled to the full range,
// 16 bits keep the high byte. None when the file cannot be opened (no
// message) or read (libpng's or our own message on stderr).
std::optional<grey_bitmap> read_rendered_png(const char* path);
std::optional<grey_bitmap> read_png_stream(std::FILE* stream,
                                           int64_t max_pixels = max_bitmap_pixels);

// The sample at (x, y) when 0 <= x < width_bound and 0 <= y < height_bound,
// else the default.
uint8_t sample_or_default(const grey_bitmap& bitmap, int32_t x, int32_t y, int32_t width_bound,
                          int32_t height_bound, uint8_t fallback);

// Finds and erases the baseline mark (the leftmost ink, up to the first
// all-white column after it), crops to what lies right of it, and averages
// s x s blocks into the output. Modifies `rendered` (the mark is erased).
// None when the bitmap has no mark followed by a white column.
std::optional<downsampled_image> crop_and_downsample(grey_bitmap& rendered, int32_t s);

// n = input rows between the mark's mean row and the bottom, less 2s,
// divided by s and rounded as the offset has always been rounded.
int32_t baseline_offset_for(int32_t height, int32_t mark_mean_row, int32_t s);
