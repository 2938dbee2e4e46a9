#include "writers.h"

#include <gif_lib.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <memory>
#include <string>
#include <vector>

#include "png_messages.h"

palette_ramp build_palette_ramp(rgb_colour foreground, rgb_colour background, bool transparent) {
    const auto clamp = [](int32_t c) { return std::clamp<int32_t>(c, 0, 255); };
    const int32_t fg[3] = {clamp(foreground.red), clamp(foreground.green), clamp(foreground.blue)};
    const int32_t bg[3] = {clamp(background.red), clamp(background.green), clamp(background.blue)};
    palette_ramp ramp;
    for (int i = 0; i < 256; ++i) {
        for (int c = 0; c < 3; ++c) {
            ramp.colours[3 * i + c] = static_cast<uint8_t>(
                transparent ? fg[c] : (fg[c] * (255 - i) + bg[c] * i) / 255);
        }
        ramp.alpha[i] = static_cast<uint8_t>(transparent ? 255 - i : 255);
    }
    return ramp;
}

namespace {

void append_png_bytes(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data),
                                                            length);
}

void flush_nothing(png_structp) {}

// Owns libpng's write structures.
struct png_write_guard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_write_guard() = default;
    png_write_guard(const png_write_guard&) = delete;
    png_write_guard& operator=(const png_write_guard&) = delete;
    ~png_write_guard() {
        if (png)
            png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

// libpng's error recovery lives here alone; every local is trivial, so the
// longjmp skips no destructor. The bytes go to `out`, owned by the caller.
bool write_png_chunks(png_structp png, png_infop info, std::string* out, png_bytepp rows,
                      png_uint_32 width, png_uint_32 height, png_colorp colours,
                      png_bytep alpha) {
    std::jmp_buf* jump = png_set_longjmp_fn(png, std::longjmp, sizeof(std::jmp_buf));
    if (!jump || setjmp(*jump))
        return false;
    png_set_write_fn(png, out, append_png_bytes, flush_nothing);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, colours, 256);
    png_set_tRNS(png, info, alpha, 256, nullptr);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

template <typename Row>
std::vector<Row> row_pointers(const grey_bitmap& image) {
    std::vector<Row> rows;
    rows.reserve(image.rows.size());
    for (const auto& row : image.rows)
        rows.push_back(const_cast<Row>(row.data()));  // the libraries only read
    return rows;
}

bool rows_match(const grey_bitmap& image) {
    if (image.width < 0 || image.height < 0 ||
        image.rows.size() != static_cast<std::size_t>(image.height))
        return false;
    return std::all_of(image.rows.begin(), image.rows.end(), [&](const auto& row) {
        return row.size() == static_cast<std::size_t>(image.width);
    });
}

}  // namespace

result<encoded_image> encode_png(const grey_bitmap& image, rgb_colour foreground,
                                 rgb_colour background, bool transparent) {
    if (!rows_match(image))
        return failure{};
    const palette_ramp ramp = build_palette_ramp(foreground, background, transparent);
    png_messages messages;
    png_write_guard guard;
    guard.png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, &messages, on_png_error, on_png_warning);
    if (!guard.png)
        return failure{};
    guard.info = png_create_info_struct(guard.png);
    if (!guard.info)
        return failure{};
    png_color colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = png_color{ramp.colours[3 * i], ramp.colours[3 * i + 1], ramp.colours[3 * i + 2]};
    png_byte alpha[256];
    std::copy(ramp.alpha, ramp.alpha + 256, alpha);
    std::vector<png_bytep> rows = row_pointers<png_bytep>(image);
    encoded_image out;
    if (!write_png_chunks(guard.png, guard.info, &out.bytes, rows.data(),
                          static_cast<png_uint_32>(image.width),
                          static_cast<png_uint_32>(image.height), colours, alpha))
        return failure{messages.warnings + messages.errors};
    out.warnings = std::move(messages.warnings);
    return out;
}

namespace {

struct gif_map_deleter {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

// Owns an open GIF handle until it is closed on purpose.
struct gif_handle {
    GifFileType* gif = nullptr;
    gif_handle() = default;
    gif_handle(const gif_handle&) = delete;
    gif_handle& operator=(const gif_handle&) = delete;
    ~gif_handle() {
        if (gif)
            EGifCloseFile(gif, nullptr);
    }
    // Writes the trailer; false when that failed.
    bool close() {
        int error = 0;
        GifFileType* g = gif;
        gif = nullptr;
        return EGifCloseFile(g, &error) == GIF_OK;
    }
};

int append_gif_bytes(GifFileType* gif, const GifByteType* data, int length) {
    static_cast<std::string*>(gif->UserData)->append(reinterpret_cast<const char*>(data),
                                                      static_cast<std::size_t>(length));
    return length;
}

// The GIF's blocks in order, written through an open handle.
bool write_gif_blocks(GifFileType* gif, const grey_bitmap& image, const ColorMapObject* map,
                      bool transparent) {
    // Only GIF89a may carry the extension that declares the transparency.
    if (transparent)
        EGifSetGifVersion(gif, true);
    if (EGifPutScreenDesc(gif, image.width, image.height, 256, 255, map) != GIF_OK)
        return false;
    if (transparent) {
        const GifByteType control[4] = {0x01, 0x00, 0x00, 0xFF};
        if (EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_OK)
            return false;
    }
    if (EGifPutImageDesc(gif, 0, 0, image.width, image.height, false, map) != GIF_OK)
        return false;
    for (GifPixelType* row : row_pointers<GifPixelType*>(image)) {
        if (EGifPutLine(gif, row, image.width) != GIF_OK)
            return false;
    }
    return true;
}

}  // namespace

result<encoded_image> encode_gif(const grey_bitmap& image, rgb_colour foreground,
                                 rgb_colour background, bool transparent) {
    if (!rows_match(image))
        return failure{};
    const palette_ramp ramp = build_palette_ramp(foreground, background, false);
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = GifColorType{ramp.colours[3 * i], ramp.colours[3 * i + 1], ramp.colours[3 * i + 2]};
    std::unique_ptr<ColorMapObject, gif_map_deleter> map(GifMakeMapObject(256, colours));
    if (!map)
        return failure{};
    encoded_image out;
    int error = 0;
    gif_handle handle;
    handle.gif = EGifOpen(&out.bytes, append_gif_bytes, &error);
    if (!handle.gif || !write_gif_blocks(handle.gif, image, map.get(), transparent) ||
        !handle.close())
        return failure{};
    return out;
}

result<encoded_image> encode_image(const grey_bitmap& image, const job_settings& settings) {
    auto encode = settings.format == image_format::gif ? encode_gif : encode_png;
    return encode(image, settings.foreground, settings.background, settings.transparent);
}
