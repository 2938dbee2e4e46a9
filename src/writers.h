// Image writers: the colour ramp and the PNG and GIF encoders.
//
// Each output sample is a grey level, written unchanged as a palette index:
// 0 is full ink (the foreground colour), 255 bare paper (the background
// colour, or fully transparent).
#pragma once

#include <cstdint>
#include <string>

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

// An image file's bytes, and the library's warnings (text for the user).
struct encoded_image {
    std::string bytes;
    std::string warnings;
};

// An 8-bit indexed PNG with PLTE and tRNS of 256 entries each. A failure
// carries libpng's messages (possibly none).
result<encoded_image> encode_png(const grey_bitmap& image, rgb_colour foreground,
                                 rgb_colour background, bool transparent);

// A 256-colour GIF with the opaque ramp as global and local colour table
// and, when transparent, index 255 transparent (stamped GIF89a).
result<encoded_image> encode_gif(const grey_bitmap& image, rgb_colour foreground,
                                 rgb_colour background, bool transparent);

// The encoder of the job's format.
result<encoded_image> encode_image(const grey_bitmap& image, const job_settings& settings);
