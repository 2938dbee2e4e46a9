#include "bitmap.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <csetjmp>
#include <string>
#include <vector>

#include "file_ptr.h"
#include "png_messages.h"

namespace {

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
    bool one_bit = false;  // rows as packed bits, 1 for paper, first pixel high
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
    // Ghostscript's one-bit pages are unpacked here, much faster than by
    // libpng's general expansion; the values are the same (0 and 255).
    layout->one_bit = depth == 1 && colour_type == PNG_COLOR_TYPE_GRAY &&
                      !png_get_valid(png, info, PNG_INFO_tRNS);
    if (depth < 8 && !layout->one_bit)
        png_set_packing(png);
    else if (depth == 16)
        png_set_strip_16(png);
    if (colour_type != PNG_COLOR_TYPE_GRAY)
        return header_status::not_grey;
    if (depth < 8 && !layout->one_bit)
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

// Reads packed one-bit rows and spreads each bit over a byte: 255 for a set
// bit (paper), 0 for a clear one (ink).
bool read_one_bit_pixels(png_structp png, const png_layout& layout, grey_bitmap& bitmap) {
    std::vector<uint8_t> packed(layout.row_bytes * layout.height);
    std::vector<png_bytep> pointers;
    pointers.reserve(layout.height);
    for (std::size_t y = 0; y < layout.height; ++y)
        pointers.push_back(packed.data() + y * layout.row_bytes);
    if (!read_pixels(png, pointers.data()))
        return false;
    // Each byte's eight pixels, looked up whole.
    static const auto spread = [] {
        std::array<std::array<uint8_t, 8>, 256> table{};
        for (std::size_t byte = 0; byte < 256; ++byte)
            for (std::size_t bit = 0; bit < 8; ++bit)
                table[byte][bit] = (byte >> (7 - bit)) & 1 ? 255 : 0;
        return table;
    }();
    const std::size_t whole = layout.width / 8, rest = layout.width % 8;
    for (std::size_t y = 0; y < layout.height; ++y) {
        const uint8_t* bits = pointers[y];
        uint8_t* row = bitmap.rows[y].data();
        for (std::size_t i = 0; i < whole; ++i)
            std::memcpy(row + 8 * i, spread[bits[i]].data(), 8);
        if (rest)
            std::memcpy(row + 8 * whole, spread[bits[whole]].data(), rest);
    }
    return true;
}

}  // namespace

namespace {

// The read itself; its failures leave their text in `messages`.
std::optional<grey_bitmap> read_png(std::FILE* stream, int64_t max_pixels,
                                    png_messages& messages) {
    png_read_guard guard;
    guard.png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, &messages, on_png_error, on_png_warning);
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
        messages.errors += "\nInput file is not grayscale.\n";
        return std::nullopt;
    case header_status::ok:
        break;
    }
    // A grey image with a transparency chunk would expand to two bytes a
    // pixel; rows hold exactly one.
    const png_size_t row_bytes = layout.one_bit ? (png_size_t{layout.width} + 7) / 8 : layout.width;
    if (layout.row_bytes != row_bytes) {
        messages.errors += "\nInput file is not plain grayscale (it has transparency).\n";
        return std::nullopt;
    }
    if (int64_t{layout.width} * layout.height > max_pixels || layout.width > INT32_MAX ||
        layout.height > INT32_MAX) {
        messages.errors += "\nInput file is too large: " + std::to_string(layout.width) + " x " +
                           std::to_string(layout.height) + " pixels\n";
        return std::nullopt;
    }

    grey_bitmap bitmap;
    bitmap.width = static_cast<int32_t>(layout.width);
    bitmap.height = static_cast<int32_t>(layout.height);
    bitmap.rows.assign(layout.height, std::vector<uint8_t>(layout.width));
    if (layout.one_bit)
        return read_one_bit_pixels(guard.png, layout, bitmap) ? std::optional(std::move(bitmap))
                                                              : std::nullopt;
    std::vector<png_bytep> pointers;
    pointers.reserve(layout.height);
    for (auto& row : bitmap.rows)
        pointers.push_back(row.data());
    if (!read_pixels(guard.png, pointers.data()))
        return std::nullopt;
    return bitmap;
}

}  // namespace

result<rendered_bitmap> read_png_stream(std::FILE* stream, int64_t max_pixels) {
    png_messages messages;
    std::optional<grey_bitmap> bitmap = read_png(stream, max_pixels, messages);
    if (!bitmap)
        return failure{messages.warnings + messages.errors};
    return rendered_bitmap{std::move(*bitmap), std::move(messages.warnings)};
}

result<rendered_bitmap> read_rendered_png(const std::string& path) {
    file_ptr in(std::fopen(path.c_str(), "rb"));
    if (!in)
        return failure{};
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

namespace {

int64_t ceil_div(int64_t a, int64_t b) {
    return a / b + (a % b != 0 ? 1 : 0);
}

// Adds one input row's samples to the block sums of an output row; columns
// left of the rendering or from `bound` on count as paper.
void add_row(const uint8_t* row, int32_t crop_left, int32_t bound, int32_t s,
             std::vector<int64_t>& sums) {
    for (std::size_t c = 0; c < sums.size(); ++c) {
        const int64_t x0 = crop_left + static_cast<int64_t>(c) * s;
        const int64_t from = std::max<int64_t>(x0, 0);
        const int64_t to = std::min<int64_t>(x0 + s, bound);
        const int64_t inside = std::max<int64_t>(to - from, 0);
        int64_t sum = (s - inside) * 255;
        for (int64_t x = from; x < from + inside; ++x)
            sum += row[x];
        sums[c] += sum;
    }
}

// Averages s x s blocks into an image of the given size, starting at column
// crop_left and row top; columns from `bound` on count as paper, and so do
// rows outside the rendering.
grey_bitmap filter_blocks(const grey_bitmap& rendered, int32_t crop_left, int32_t bound,
                          int32_t s, int32_t width, int32_t height, int32_t top = 0) {
    grey_bitmap out;
    out.width = width;
    out.height = height;
    // Summing a row of blocks at a time keeps it fast.
    const auto ow = static_cast<std::size_t>(out.width);
    const int64_t area = int64_t{s} * s;
    std::vector<int64_t> sums(ow);
    out.rows.resize(static_cast<std::size_t>(out.height));
    for (int32_t r = 0; r < out.height; ++r) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int32_t dy = 0; dy < s; ++dy) {
            const int64_t y = int64_t{top} + int64_t{r} * s + dy;
            if (y >= 0 && y < rendered.height)
                add_row(rendered.rows[static_cast<std::size_t>(y)].data(), crop_left, bound, s,
                        sums);
            else
                for (auto& sum : sums)
                    sum += int64_t{255} * s;
        }
        auto& out_row = out.rows[static_cast<std::size_t>(r)];
        out_row.resize(ow);
        for (std::size_t c = 0; c < ow; ++c)
            out_row[c] = static_cast<uint8_t>(sums[c] / area);
    }
    return out;
}

}  // namespace

grey_bitmap hidpi_downsample(const grey_bitmap& rendered, const downsampled_image& one_x,
                             int32_t n, int32_t s, int32_t dx, int32_t dy) {
    return filter_blocks(rendered, one_x.crop_left * n + dx, rendered.width, s,
                         one_x.image.width * n, one_x.image.height * n, one_x.crop_top * n + dy);
}

double hidpi_difference(const grey_bitmap& one_x, const grey_bitmap& n_times, int32_t n) {
    int64_t total = 0;
    const int64_t block = int64_t{n} * n;
    for (int32_t y = 0; y < one_x.height; ++y) {
        for (int32_t x = 0; x < one_x.width; ++x) {
            int64_t sum = 0;
            for (int32_t j = 0; j < n; ++j)
                for (int32_t i = 0; i < n; ++i)
                    sum += n_times.rows[static_cast<std::size_t>(y * n + j)]
                                       [static_cast<std::size_t>(x * n + i)];
            const int64_t mine = one_x.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
            total += std::abs(sum - mine * block);
        }
    }
    const int64_t pixels = int64_t{one_x.width} * one_x.height;
    return pixels > 0 ? static_cast<double>(total) / static_cast<double>(pixels * block) : 0.0;
}

grey_bitmap aligned_hidpi_image(const grey_bitmap& rendered, const downsampled_image& one_x,
                                int32_t n, int32_t s) {
    grey_bitmap best = hidpi_downsample(rendered, one_x, n, s);
    double best_difference = hidpi_difference(one_x.image, best, n);
    for (int32_t dy = -1; dy <= 1; ++dy) {
        for (int32_t dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0)
                continue;
            grey_bitmap moved = hidpi_downsample(rendered, one_x, n, s, dx, dy);
            const double difference = hidpi_difference(one_x.image, moved, n);
            if (difference < best_difference) {
                best = std::move(moved);
                best_difference = difference;
            }
        }
    }
    return best;
}


namespace {

bool column_has_ink(const grey_bitmap& b, int32_t x) {
    for (const auto& row : b.rows)
        if (row[static_cast<std::size_t>(x)] != 255)
            return true;
    return false;
}

bool row_has_ink(const grey_bitmap& b, int32_t y) {
    const auto& row = b.rows[static_cast<std::size_t>(y)];
    return std::any_of(row.begin(), row.end(), [](uint8_t v) { return v != 255; });
}

// First and last inked rows and columns; none when the bitmap is paper.
struct ink_extent {
    int32_t left, top, right, bottom;  // inclusive
};

std::optional<ink_extent> extent_of(const grey_bitmap& b) {
    std::optional<ink_extent> e;
    const auto ink = [](uint8_t v) { return v != 255; };
    for (int32_t y = 0; y < b.height; ++y) {
        const auto begin = b.rows[static_cast<std::size_t>(y)].begin();
        const auto end = begin + b.width;
        const auto first = std::find_if(begin, end, ink);
        if (first == end)
            continue;
        const auto last = std::find_if(std::make_reverse_iterator(end),
                                       std::make_reverse_iterator(first), ink);
        const auto left = static_cast<int32_t>(first - begin);
        const auto right = static_cast<int32_t>(last.base() - begin) - 1;
        if (!e)
            e = ink_extent{left, y, right, y};
        e->left = std::min(e->left, left);
        e->right = std::max(e->right, right);
        e->bottom = y;
    }
    return e;
}

// The mean row of the ink inside `box`, rounded down.
int32_t mean_ink_row(const grey_bitmap& b, const ink_extent& box) {
    int64_t row_sum = 0, count = 0;
    for (int32_t y = box.top; y <= box.bottom; ++y) {
        const auto& row = b.rows[static_cast<std::size_t>(y)];
        for (int32_t x = box.left; x <= box.right; ++x) {
            if (row[static_cast<std::size_t>(x)] != 255) {
                row_sum += y;
                ++count;
            }
        }
    }
    return static_cast<int32_t>(row_sum / count);
}

}  // namespace

inked_edges edges_with_ink(const grey_bitmap& image, const grey_bitmap& mark) {
    inked_edges edges;
    for (const grey_bitmap* b : {&image, &mark}) {
        if (b->width <= 0 || b->height <= 0)
            continue;
        edges.left = edges.left || column_has_ink(*b, 0);
        edges.right = edges.right || column_has_ink(*b, b->width - 1);
        edges.top = edges.top || row_has_ink(*b, 0);
        edges.bottom = edges.bottom || row_has_ink(*b, b->height - 1);
    }
    return edges;
}

result<downsampled_image> crop_from_passes(const grey_bitmap& image, const grey_bitmap& mark,
                                           int32_t s, int32_t top_margin, int32_t bottom_margin) {
    const failure no_mark{"\nImage doesn't start with a dot\n"};
    std::optional<ink_extent> dot = extent_of(mark);
    if (!dot || s < 1 || mark.width != image.width || mark.height != image.height)
        return no_mark;
    const std::optional<ink_extent> ink = extent_of(image);
    const int32_t h = image.height;

    // Rows of the margins, kept by whole output pixels as far as ink needs.
    int32_t first_row = 0, end_row = h;
    if (top_margin > 0 || bottom_margin > 0) {
        const int32_t top = ink ? std::min(ink->top, dot->top) : dot->top;
        const int32_t bottom = ink ? std::max(ink->bottom, dot->bottom) : dot->bottom;
        first_row = top_margin - s * static_cast<int32_t>(ceil_div(std::max(0, top_margin - top), s));
        const int32_t below = std::max(0, bottom - (h - 1 - bottom_margin));
        end_row = h - bottom_margin + s * static_cast<int32_t>(ceil_div(below, s));
    }

    // The offset of the page proper, lowered by the output rows kept below it.
    const int32_t mean_row = mean_ink_row(mark, *dot) - top_margin;
    const int32_t proper_height = h - top_margin - bottom_margin;
    const int32_t rows_below = (end_row - (h - bottom_margin)) / s;
    const int32_t dot_end = dot->right + 1;
    int32_t crop_left = dot_end;
    if (ink && ink->left < dot_end)
        crop_left = dot_end - s * static_cast<int32_t>(ceil_div(dot_end - ink->left, s));
    const int32_t crop_right =
        ink ? static_cast<int32_t>(std::min<int64_t>(int64_t{ink->right} + s, INT32_MAX))
            : image.width;

    downsampled_image out;
    const int32_t height = end_row - first_row;
    out.image = filter_blocks(image, crop_left, std::min(crop_right, image.width), s,
                              static_cast<int32_t>(ceil_div(int64_t{crop_right} - crop_left, s)),
                              static_cast<int32_t>(ceil_div(height, s)), first_row);
    out.baseline_offset =
        baseline_offset_for(proper_height, mean_row, s) + rows_below;
    out.crop_left = crop_left;
    out.crop_top = first_row;
    return out;
}
