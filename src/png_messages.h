// libpng's error and warning texts, kept as data instead of going straight
// to standard error, worded as its default handlers word them.
#pragma once

#include <png.h>

#include <string>

struct png_messages {
    std::string errors;    // "libpng error: ...\n" lines
    std::string warnings;  // "libpng warning: ...\n" lines
};

// Handlers for png_create_*_struct with a png_messages as the error
// pointer. The error handler jumps to the recovery point like libpng's own.
void on_png_error(png_structp png, png_const_charp text);
void on_png_warning(png_structp png, png_const_charp text);
