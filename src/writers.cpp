#include "writers.h"

#include <fcntl.h>
#include <gif_lib.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <memory>
#include <vector>

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
// longjmp skips no destructor.
bool encode_png(png_structp png, png_infop info, std::FILE* stream, png_bytepp rows,
                png_uint_32 width, png_uint_32 height, png_colorp colours, png_bytep alpha) {
    std::jmp_buf* jump = png_set_longjmp_fn(png, std::longjmp, sizeof(std::jmp_buf));
    if (!jump || setjmp(*jump))
        return false;
    png_init_io(png, stream);
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

// Finishes a stream: buffered bytes must reach the file or pipe.
int close_stream(std::FILE* stream, bool ok) {
    ok = std::fflush(stream) == 0 && ok && !std::ferror(stream);
    return std::fclose(stream) == 0 && ok ? 0 : -1;
}

}  // namespace

int write_png_stream(std::FILE* stream, const grey_bitmap& image, const palette_ramp& ramp) {
    if (!rows_match(image))
        return -1;
    png_write_guard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!guard.png)
        return -1;
    guard.info = png_create_info_struct(guard.png);
    if (!guard.info)
        return -1;
    png_color colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = png_color{ramp.colours[3 * i], ramp.colours[3 * i + 1], ramp.colours[3 * i + 2]};
    png_byte alpha[256];
    std::copy(ramp.alpha, ramp.alpha + 256, alpha);
    std::vector<png_bytep> rows = row_pointers<png_bytep>(image);
    bool ok = encode_png(guard.png, guard.info, stream, rows.data(),
                         static_cast<png_uint_32>(image.width),
                         static_cast<png_uint_32>(image.height), colours, alpha);
    return ok ? 0 : -1;
}

int write_png_image(const grey_bitmap& image, const char* output_name, rgb_colour foreground,
                    rgb_colour background, bool transparent) {
    const palette_ramp ramp = build_palette_ramp(foreground, background, transparent);
    std::FILE* stream = output_name ? std::fopen(output_name, "wb") : stdout;
    if (!stream)
        return -1;
    const int encoded = write_png_stream(stream, image, ramp);
    return close_stream(stream, encoded == 0);
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
    // Writes the trailer and closes the stream; false when that failed.
    bool close() {
        int error = 0;
        GifFileType* g = gif;
        gif = nullptr;
        return EGifCloseFile(g, &error) == GIF_OK;
    }
};

}  // namespace

int write_gif_image(const grey_bitmap& image, const char* output_name, rgb_colour foreground,
                    rgb_colour background, bool transparent) {
    if (!rows_match(image))
        return -1;
    int error = 0;
    gif_handle out;
    // The file is opened here rather than by giflib, which would create it
    // with mode 0600; a web server must be able to read the image.
    int fd = output_name ? open(output_name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                         : STDOUT_FILENO;
    if (fd < 0)
        return -1;
    out.gif = EGifOpenFileHandle(fd, &error);
    if (!out.gif) {
        if (output_name)
            close(fd);
        return -1;
    }

    const palette_ramp ramp = build_palette_ramp(foreground, background, false);
    GifColorType colours[256];
    for (int i = 0; i < 256; ++i)
        colours[i] = GifColorType{ramp.colours[3 * i], ramp.colours[3 * i + 1], ramp.colours[3 * i + 2]};
    std::unique_ptr<ColorMapObject, gif_map_deleter> map(GifMakeMapObject(256, colours));
    if (!map)
        return -1;

    // Only GIF89a may carry the extension that declares the transparency.
    if (transparent)
        EGifSetGifVersion(out.gif, true);
    if (EGifPutScreenDesc(out.gif, image.width, image.height, 256, 255, map.get()) != GIF_OK)
        return -1;
    if (transparent) {
        const GifByteType control[4] = {0x01, 0x00, 0x00, 0xFF};
        if (EGifPutExtension(out.gif, GRAPHICS_EXT_FUNC_CODE, 4, control) != GIF_OK)
            return -1;
    }
    if (EGifPutImageDesc(out.gif, 0, 0, image.width, image.height, false, map.get()) != GIF_OK)
        return -1;
    std::vector<GifPixelType*> rows = row_pointers<GifPixelType*>(image);
    for (GifPixelType* row : rows) {
        if (EGifPutLine(out.gif, row, image.width) != GIF_OK)
            return -1;
    }
    return out.close() ? 0 : -1;
}
