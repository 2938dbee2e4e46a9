// Image writers: the colour ramp and the PNG and GIF encoders.
//
// Each output sample is a grey level, written unchanged as a palette index:
// 0 is full ink (the foreground colour), 255 bare paper (the background
// colour, or fully transparent).
#pragma once

#include <cstdint>
#include <cstdio>

#include "records.h"

struct palette_ramp {
    uint8_t colours[256 * 3];  // red, green, blue of entry i at 3*i
    uint8_t alpha[256];        // 255 opaque, 0 transparent
};

// Opaque form (transparent off): colours ramp from foreground at 0 to
// background at 255, rounding down; alpha all 255. Transparent form: every
// colour is the foreground and alpha is 255 - i. Components outside 0..255
// are clamped first.
palette_ramp build_palette_ramp(rgb_colour foreground, rgb_colour background, bool transparent);

// Write an 8-bit indexed PNG (PLTE and tRNS of 256 entries) to the named
// file, or to stdout when the name is null (stdout is closed afterwards).
// Returns 0, or -1 when anything, including the final flush and close,
// failed. Prints nothing of its own; libpng may report its errors.
int write_png_image(const grey_bitmap& image, const char* output_name, rgb_colour foreground,
                    rgb_colour background, bool transparent);

// The PNG encoding alone, onto an open stream that the caller closes.
int write_png_stream(std::FILE* stream, const grey_bitmap& image, const palette_ramp& ramp);

// Write a 256-colour GIF with the opaque ramp as global and local colour
// table and, when transparent, index 255 transparent (stamped GIF89a).
// Same conventions as write_png_image.
int write_gif_image(const grey_bitmap& image, const char* output_name, rgb_colour foreground,
                    rgb_colour background, bool transparent);
