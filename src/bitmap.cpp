#include "bitmap.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <memory>
#include <vector>

namespace {

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Owns libpng's read structures.
struct png_read_guard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_read_guard() = default;
    png_read_guard(const png_read_guard&) = delete;
    png_read_guard& operator=(const png_read_guard&) = delete;
    ~png_read_guard() {
        if (png)
            png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

enum class header_status { ok, failed, not_grey };

struct png_layout {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    png_size_t row_bytes = 0;
};

// libpng's error recovery lives in this function and read_pixels alone; no
// local here has a destructor, so the longjmp skips nothing that needs one.
header_status read_header(png_structp png, png_infop info, std::FILE* stream,
                          png_layout* layout) {
    std::jmp_buf* jump = png_set_longjmp_fn(png, std::longjmp, sizeof(std::jmp_buf));
    if (!jump || setjmp(*jump))
        return header_status::failed;
    png_init_io(png, stream);
    png_read_info(png, info);
    const int colour_type = png_get_color_type(png, info);
    const int depth = png_get_bit_depth(png, info);
    if (depth < 8)
        png_set_packing(png);
    else if (depth == 16)
        png_set_strip_16(png);
    if (colour_type != PNG_COLOR_TYPE_GRAY)
        return header_status::not_grey;
    if (depth < 8)
        png_set_expand(png);
    png_read_update_info(png, info);
    layout->width = png_get_image_width(png, info);
    layout->height = png_get_image_height(png, info);
    layout->row_bytes = png_get_rowbytes(png, info);
    return header_status::ok;
}

bool read_pixels(png_structp png, png_bytepp rows) {
    std::jmp_buf* jump = png_set_longjmp_fn(png, std::longjmp, sizeof(std::jmp_buf));
    if (!jump || setjmp(*jump))
        return false;
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

std::optional<grey_bitmap> read_png_stream(std::FILE* stream, int64_t max_pixels) {
    png_read_guard guard;
    guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!guard.png)
        return std::nullopt;
    guard.info = png_create_info_struct(guard.png);
    if (!guard.info)
        return std::nullopt;

    png_layout layout;
    switch (read_header(guard.png, guard.info, stream, &layout)) {
    case header_status::failed:
        return std::nullopt;
    case header_status::not_grey:
        std::fputs("\nInput file is not grayscale.\n", stderr);
        return std::nullopt;
    case header_status::ok:
        break;
    }
    // A grey image with a transparency chunk would expand to two bytes a
    // pixel; rows hold exactly one.
    if (layout.row_bytes != layout.width) {
        std::fputs("\nInput file is not plain grayscale (it has transparency).\n", stderr);
        return std::nullopt;
    }
    if (int64_t{layout.width} * layout.height > max_pixels || layout.width > INT32_MAX ||
        layout.height > INT32_MAX) {
        std::fprintf(stderr, "\nInput file is too large: %lu x %lu pixels\n",
                     static_cast<unsigned long>(layout.width),
                     static_cast<unsigned long>(layout.height));
        return std::nullopt;
    }

    grey_bitmap bitmap;
    bitmap.width = static_cast<int32_t>(layout.width);
    bitmap.height = static_cast<int32_t>(layout.height);
    bitmap.rows.assign(layout.height, std::vector<uint8_t>(layout.width));
    std::vector<png_bytep> pointers;
    pointers.reserve(layout.height);
    for (auto& row : bitmap.rows)
        pointers.push_back(row.data());
    if (!read_pixels(guard.png, pointers.data()))
        return std::nullopt;
    return bitmap;
}

std::optional<grey_bitmap> read_rendered_png(const char* path) {
    std::unique_ptr<std::FILE, file_closer> in(std::fopen(path, "rb"));
    if (!in)
        return std::nullopt;
    return read_png_stream(in.get());
}

uint8_t sample_or_default(const grey_bitmap& bitmap, int32_t x, int32_t y, int32_t width_bound,
                          int32_t height_bound, uint8_t fallback) {
    if (x < 0 || x >= width_bound || y < 0 || y >= height_bound)
        return fallback;
    return bitmap.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
}

int32_t baseline_offset_for(int32_t height, int32_t mark_mean_row, int32_t s) {
    const int64_t n = int64_t{height} - mark_mean_row - 2 * int64_t{s};
    const int64_t q = n / s;
    return static_cast<int32_t>(n - q * s != 0 ? q + 1 : q);
}

std::optional<downsampled_image> crop_and_downsample(grey_bitmap& rendered, int32_t s) {
    const int32_t w = rendered.width;
    const int32_t h = rendered.height;
    if (w <= 0 || h <= 0 || s < 1)
        return std::nullopt;

    // The mark: all ink from the first inked column up to the first white
    // column after it, which is where the crop starts.
    int64_t mark_row_sum = 0;
    int64_t mark_pixel_count = 0;
    int32_t crop_left = -1;
    for (int32_t x = 0; x < w && crop_left < 0; ++x) {
        bool ink_here = false;
        for (int32_t y = 0; y < h; ++y) {
            uint8_t& v = rendered.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
            if (v != 255) {
                v = 255;
                mark_row_sum += y;
                ++mark_pixel_count;
                ink_here = true;
            }
        }
        if (mark_pixel_count > 0 && !ink_here)
            crop_left = x;
    }
    if (crop_left < 0)
        return std::nullopt;

    // The right bound: the last column still holding ink, plus s.
    int32_t crop_right = w;
    bool found = false;
    for (int32_t x = w - 1; x >= 0 && !found; --x) {
        for (int32_t y = 0; y < h && !found; ++y) {
            if (rendered.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] != 255) {
                crop_right = static_cast<int32_t>(std::min<int64_t>(int64_t{x} + s, INT32_MAX));
                found = true;
            }
        }
    }

    const auto ceil_div = [](int64_t a, int64_t b) { return a / b + (a % b != 0 ? 1 : 0); };
    downsampled_image out;
    out.image.height = static_cast<int32_t>(ceil_div(h, s));
    out.image.width = static_cast<int32_t>(ceil_div(int64_t{crop_right} - crop_left, s));
    const auto mark_mean_row = static_cast<int32_t>(mark_row_sum / mark_pixel_count);
    out.baseline_offset = baseline_offset_for(h, mark_mean_row, s);

    // Box filter. Samples right of the crop, right of the bitmap or below
    // it count as paper; summing a row of blocks at a time keeps it fast.
    const int32_t bound = std::min(crop_right, w);
    const auto ow = static_cast<std::size_t>(out.image.width);
    std::vector<int64_t> sums(ow);
    out.image.rows.resize(static_cast<std::size_t>(out.image.height));
    for (int32_t r = 0; r < out.image.height; ++r) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int32_t dy = 0; dy < s; ++dy) {
            const int64_t y = int64_t{r} * s + dy;
            if (y >= h) {
                for (auto& sum : sums)
                    sum += int64_t{255} * s;
                continue;
            }
            const uint8_t* row = rendered.rows[static_cast<std::size_t>(y)].data();
            for (std::size_t c = 0; c < ow; ++c) {
                const int64_t x0 = crop_left + static_cast<int64_t>(c) * s;
                const int64_t inside = std::clamp<int64_t>(bound - x0, 0, s);
                int64_t sum = (s - inside) * 255;
                for (int64_t x = x0; x < x0 + inside; ++x)
                    sum += row[x];
                sums[c] += sum;
            }
        }
        auto& out_row = out.image.rows[static_cast<std::size_t>(r)];
        out_row.resize(ow);
        const int64_t area = int64_t{s} * s;
        for (std::size_t c = 0; c < ow; ++c)
            out_row[c] = static_cast<uint8_t>(sums[c] / area);
    }
    return out;
}
