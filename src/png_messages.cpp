#include "png_messages.h"

namespace {

// Appends in a frame of its own, so that nothing with a destructor is alive
// when the error handler jumps.
void note(png_const_structrp png, std::string png_messages::*list, const char* prefix,
          png_const_charp text) {
    auto* messages = static_cast<png_messages*>(png_get_error_ptr(png));
    if (messages)
        (messages->*list) += std::string(prefix) + (text ? text : "undefined") + "\n";
}

}  // namespace

void on_png_error(png_structp png, png_const_charp text) {
    note(png, &png_messages::errors, "libpng error: ", text);
    png_longjmp(png, 1);
}

void on_png_warning(png_structp png, png_const_charp text) {
    note(png, &png_messages::warnings, "libpng warning: ", text);
}
