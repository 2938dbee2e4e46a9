#include <gtest/gtest.h>

#include <png.h>

#include <random>

#include "bitmap.h"
#include "support.h"

namespace {

// A W x H paper bitmap with ink rectangles [x0, x1] x [y0, y1].
struct rect {
    int x0, x1, y0, y1;
};
grey_bitmap paper_with(int w, int h, std::initializer_list<rect> inks) {
    grey_bitmap b;
    b.width = w;
    b.height = h;
    b.rows.assign(static_cast<std::size_t>(h), std::vector<uint8_t>(static_cast<std::size_t>(w), 255));
    for (const rect& r : inks)
        for (int y = r.y0; y <= r.y1; ++y)
            for (int x = r.x0; x <= r.x1; ++x)
                b.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] = 0;
    return b;
}

// The box filter exactly as described: every sample through
// sample_or_default, bounds min(crop_right, W) and H, default 255.
grey_bitmap reference_filter(const grey_bitmap& erased, int crop_left, int crop_right, int s,
                             int out_w, int out_h) {
    grey_bitmap out;
    out.width = out_w;
    out.height = out_h;
    const int bound = std::min(crop_right, erased.width);
    for (int r = 0; r < out_h; ++r) {
        std::vector<uint8_t> row;
        for (int c = 0; c < out_w; ++c) {
            int64_t sum = 0;
            for (int y = r * s; y < r * s + s; ++y)
                for (int x = crop_left + c * s; x < crop_left + c * s + s; ++x)
                    sum += sample_or_default(erased, x, y, bound, erased.height, 255);
            row.push_back(static_cast<uint8_t>(sum / (s * s)));
        }
        out.rows.push_back(row);
    }
    return out;
}

TEST(CropAndDownsample, MarkAndFormula) {
    // Mark on columns 1-3, rows 14-16; formula on columns 8-30, rows 3-18.
    grey_bitmap b = paper_with(40, 20, {{1, 3, 14, 16}, {8, 30, 3, 18}});
    auto out = crop_and_downsample(b, 4);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->image.width, 8);  // crop 4..34
    EXPECT_EQ(out->image.height, 5);
    EXPECT_EQ(out->baseline_offset, 1);  // mean row 15: n = -3
    // The mark is erased in the input.
    EXPECT_EQ(b.rows[15][2], 255);
    grey_bitmap expected = reference_filter(b, 4, 34, 4, 8, 5);
    EXPECT_EQ(out->image.rows, expected.rows);
    // Block (r 1, c 1): columns 8-11, rows 4-7 all ink.
    EXPECT_EQ(out->image.rows[1][1], 0);
    // Block (r 0, c 1): rows 0-3, only row 3 inked: 12 white of 16.
    EXPECT_EQ(out->image.rows[0][1], 255 * 12 / 16);
}

TEST(CropAndDownsample, EdgeCases) {
    {   // mark alone: crop to the bitmap's edge, all paper
        grey_bitmap b = paper_with(40, 20, {{1, 3, 14, 16}});
        auto out = crop_and_downsample(b, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.width, 9);
        EXPECT_EQ(out->image.height, 5);
        EXPECT_EQ(out->baseline_offset, 1);
        for (const auto& row : out->image.rows)
            for (uint8_t v : row)
                EXPECT_EQ(v, 255);
    }
    {   // white columns ahead of the mark change nothing
        grey_bitmap a = paper_with(40, 20, {{1, 3, 14, 16}, {8, 30, 3, 18}});
        grey_bitmap b = paper_with(46, 20, {{7, 9, 14, 16}, {14, 36, 3, 18}});
        auto oa = crop_and_downsample(a, 4);
        auto ob = crop_and_downsample(b, 4);
        ASSERT_TRUE(oa && ob);
        EXPECT_EQ(oa->image.rows, ob->image.rows);
        EXPECT_EQ(oa->baseline_offset, ob->baseline_offset);
    }
    {   // mark ending in the second-last column
        grey_bitmap b = paper_with(10, 4, {{3, 8, 1, 2}});
        auto out = crop_and_downsample(b, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.width, 1);
    }
    {   // ink in the last column: crop_right = W + 3, paper beyond the edge
        grey_bitmap b = paper_with(20, 4, {{0, 1, 0, 3}, {4, 19, 0, 3}});
        auto out = crop_and_downsample(b, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.width, 6);  // (23 - 2) / 4 rounded up
        EXPECT_EQ(out->image.rows[0][5], 255);
        EXPECT_EQ(out->image.rows[0][1], 0);
        EXPECT_EQ(out->image.rows[0][0], 255 * 8 / 16);  // columns 2-5: two white
    }
    {   // s = 1: the crop itself
        grey_bitmap b = bitmap_from({"#..#.", "#...#", ".....", "....."});
        auto out = crop_and_downsample(b, 1);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.rows, bitmap_from({"..#.", "...#", "....", "...."}).rows);
        EXPECT_EQ(out->baseline_offset, 4 - 0 - 2);
    }
    {   // 254 is ink; the mean row truncates (rows 2 and 3 give 2)
        grey_bitmap b = paper_with(6, 8, {});
        b.rows[2][0] = 254;
        b.rows[3][0] = 0;
        auto out = crop_and_downsample(b, 1);
        ASSERT_TRUE(out);
        EXPECT_EQ(b.rows[2][0], 255);
        EXPECT_EQ(out->baseline_offset, 8 - 2 - 2);
    }
}

TEST(CropAndDownsample, NoMark) {
    const grey_bitmap cases[] = {
        paper_with(10, 10, {}),
        paper_with(0, 10, {}),
        paper_with(10, 0, {}),
        paper_with(1, 3, {{0, 0, 0, 2}}),
        paper_with(10, 3, {{2, 9, 1, 1}}),  // ink runs on to the last column
    };
    for (grey_bitmap b : cases) {
        SCOPED_TRACE(testing::Message() << b.width << "x" << b.height);
        EXPECT_FALSE(crop_and_downsample(b, 4));
    }
}

TEST(CropAndDownsample, BaselineOffsetRounding) {
    // n = H - mean - 2s with s = 4
    const std::pair<int, int> cases[] = {{12, 3}, {9, 3}, {0, 0}, {-3, 1}, {-4, -1}, {-5, 0}, {-8, -2}};
    for (auto [n, offset] : cases)
        EXPECT_EQ(baseline_offset_for(100, 100 - 8 - n, 4), offset) << "n = " << n;
}

TEST(CropAndDownsample, SeventeenLevelsWithFactorFour) {
    // k white samples of 16 give floor(255 k / 16).
    for (int k = 0; k <= 16; ++k) {
        grey_bitmap b = paper_with(12, 4, {{0, 0, 0, 0}});  // the mark; the crop starts at 1
        int placed = 16 - k;
        for (int i = 0; i < placed; ++i)
            b.rows[static_cast<std::size_t>(i / 4)][static_cast<std::size_t>(5 + i % 4)] = 0;
        b.rows[0][11] = 0;  // keeps the crop wide
        auto out = crop_and_downsample(b, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.rows[0][1], 255 * k / 16) << k;  // columns 5-8
    }
}

TEST(CropAndDownsample, MatchesTheReferenceOnRandomBitmaps) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        const int w = 2 + static_cast<int>(rng() % 40), h = 1 + static_cast<int>(rng() % 30);
        const int s = 1 + static_cast<int>(rng() % 6);
        grey_bitmap b = paper_with(w, h, {});
        for (auto& row : b.rows)
            for (auto& v : row)
                v = rng() % 3 == 0 ? static_cast<uint8_t>(rng() % 255) : 255;
        grey_bitmap erased = b;
        auto out = crop_and_downsample(erased, s);
        if (!out)
            continue;
        // Recover crop_left and crop_right from the erased input.
        int crop_left = 0, seen = 0;
        for (int x = 0; x < w; ++x) {
            bool ink = false;
            for (int y = 0; y < h; ++y)
                ink = ink || b.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] != 255;
            if (ink)
                seen = 1;
            else if (seen) {
                crop_left = x;
                break;
            }
        }
        int crop_right = w;
        bool found = false;
        for (int x = w - 1; x >= 0 && !found; --x)
            for (int y = 0; y < h && !found; ++y)
                if (erased.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] != 255) {
                    crop_right = x + s;
                    found = true;
                }
        grey_bitmap expected = reference_filter(erased, crop_left, crop_right, s, out->image.width,
                                                out->image.height);
        ASSERT_EQ(out->image.rows, expected.rows) << "trial " << trial;
    }
}

// Reads a PNG from memory; libpng must print nothing itself.
result<rendered_bitmap> read_bytes(const std::string& bytes, int64_t max_pixels = max_rendering_pixels) {
    std::string copy = bytes;
    std::FILE* f = fmemopen(copy.data(), copy.size(), "rb");
    testing::internal::CaptureStderr();
    auto b = read_png_stream(f, max_pixels);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    std::fclose(f);
    return b;
}

TEST(ReadPng, GreyDepths) {
    struct row {
        int depth;
        std::vector<uint8_t> samples;
        std::vector<uint8_t> expected;
    };
    const row rows[] = {
        {1, {0, 255, 255, 0, 0, 255}, {0, 255, 255, 0, 0, 255}},
        {2, {0, 85, 170, 255, 0, 85}, {0, 85, 170, 255, 0, 85}},
        {4, {0, 17, 34, 255, 136, 238}, {0, 17, 34, 255, 136, 238}},
        {8, {0, 1, 37, 128, 254, 255}, {0, 1, 37, 128, 254, 255}},
        {16, {0, 1, 37, 128, 254, 255}, {0, 1, 37, 128, 254, 255}},  // high byte kept
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.depth);
        auto read = read_bytes(encode_test_png(3, 2, r.depth, PNG_COLOR_TYPE_GRAY, r.samples));
        ASSERT_TRUE(read);
        EXPECT_EQ(read->warnings, "");
        const grey_bitmap* b = &read->bitmap;
        EXPECT_EQ(b->width, 3);
        EXPECT_EQ(b->height, 2);
        ASSERT_EQ(b->rows.size(), 2u);
        std::vector<uint8_t> flat;
        for (const auto& line : b->rows) {
            EXPECT_EQ(line.size(), 3u);
            flat.insert(flat.end(), line.begin(), line.end());
        }
        EXPECT_EQ(flat, r.expected);
    }
}

TEST(ReadPng, Rejections) {
    const std::vector<uint8_t> px = {0, 255, 0, 255};
    const std::string grey = encode_test_png(2, 2, 1, PNG_COLOR_TYPE_GRAY, px);
    struct row {
        const char* name;
        std::string bytes;
        const char* message;  // what the failure must say
    };
    const row rows[] = {
        {"palette", encode_test_png(2, 2, 1, PNG_COLOR_TYPE_PALETTE, px), "\nInput file is not grayscale.\n"},
        {"truecolour", encode_test_png(2, 2, 8, PNG_COLOR_TYPE_RGB, px), "\nInput file is not grayscale.\n"},
        {"grey alpha", encode_test_png(2, 2, 8, PNG_COLOR_TYPE_GRAY_ALPHA, px), "\nInput file is not grayscale.\n"},
        {"grey with tRNS", encode_test_png(2, 2, 1, PNG_COLOR_TYPE_GRAY, px, true), "transparency"},
        // libpng's own words, as its default handler would print them
        {"truncated", grey.substr(0, grey.size() - 20), "libpng error: "},
        {"empty", "", "libpng error: Read Error\n"},
        {"text", "not a png at all\n", "libpng error: Not a PNG file\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto b = read_bytes(r.bytes);
        ASSERT_FALSE(b);
        EXPECT_NE(b.error.message.find(r.message), std::string::npos) << b.error.message;
        EXPECT_EQ(b.error.message.back(), '\n');
    }
}

TEST(ReadPng, LimitIsCheckedBeforeAllocating) {
    const std::string big = encode_test_png(64, 64, 1, PNG_COLOR_TYPE_GRAY, std::vector<uint8_t>(64 * 64, 255));
    auto b = read_bytes(big, 64 * 63);
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error.message, "\nInput file is too large: 64 x 64 pixels\n");
}

TEST(ReadPng, MissingFileSaysNothing) {
    auto b = read_rendered_png("/nonexistent/mathrast.ps.png");
    ASSERT_FALSE(b);
    EXPECT_EQ(b.error.message, "");
}

// Each pixel of `b` as an n x n block: the same page at n times the resolution.
grey_bitmap upscaled(const grey_bitmap& b, int n) {
    grey_bitmap out = paper_with(b.width * n, b.height * n, {});
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            out.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] =
                b.rows[static_cast<std::size_t>(y / n)][static_cast<std::size_t>(x / n)];
    return out;
}

TEST(HidpiImage, LiesOnTheOneTimesGrid) {
    // Mark on columns 1-3; formula ink on columns 8-30, rows 3-18.
    const grey_bitmap page = paper_with(40, 20, {{1, 3, 14, 16}, {8, 30, 3, 18}, {20, 22, 0, 1}});
    grey_bitmap one_x_page = page;
    auto one_x = crop_and_downsample(one_x_page, 4);
    ASSERT_TRUE(one_x);
    for (int n : {2, 3, 4}) {
        SCOPED_TRACE(n);
        grey_bitmap twice = upscaled(page, n);
        ASSERT_TRUE(erase_baseline_mark(twice));
        grey_bitmap image = hidpi_downsample(twice, *one_x, n, 4);
        EXPECT_EQ(image.width, one_x->image.width * n);
        EXPECT_EQ(image.height, one_x->image.height * n);
        ASSERT_EQ(image.rows.size(), static_cast<std::size_t>(image.height));
        // n-times pixel (x, y) covers 1x pixel (x / n, y / n): ink and paper
        // land in the same 1x pixels, edges only round differently.
        EXPECT_LT(hidpi_difference(one_x->image, image, n), 2.0);
        // 1x block (r 1, c 1) is all ink, so are its n x n pixels.
        for (int y = n; y < 2 * n; ++y)
            for (int x = n; x < 2 * n; ++x)
                EXPECT_EQ(image.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)], 0);
    }
}

TEST(HidpiImage, APageShortOfNTimesCountsAsPaperBeyondIt) {
    const grey_bitmap page = paper_with(20, 8, {{0, 1, 5, 6}, {4, 19, 0, 7}});
    grey_bitmap one_x_page = page;
    auto one_x = crop_and_downsample(one_x_page, 4);
    ASSERT_TRUE(one_x);
    grey_bitmap twice = upscaled(page, 2);
    erase_baseline_mark(twice);
    // Two columns and rows short of twice the page.
    twice.width -= 2;
    twice.rows.resize(static_cast<std::size_t>(twice.height - 2));
    twice.height -= 2;
    for (auto& row : twice.rows)
        row.resize(static_cast<std::size_t>(twice.width));
    grey_bitmap image = hidpi_downsample(twice, *one_x, 2, 4);
    EXPECT_EQ(image.width, one_x->image.width * 2);
    EXPECT_EQ(image.height, one_x->image.height * 2);
    // Block column 8 covers rendering columns 36-39, of which 38 and 39 are
    // gone; block row 3 covers rows 12-15, of which 14 and 15 are gone.
    EXPECT_EQ(image.rows[0][7], 0);
    EXPECT_EQ(image.rows[0][8], 255 * 8 / 16);
    EXPECT_EQ(image.rows[2][2], 0);
    EXPECT_EQ(image.rows[3][2], 255 * 8 / 16);
}

TEST(HidpiImage, AlignmentUndoesASubPixelShift) {
    const grey_bitmap page = paper_with(40, 20, {{1, 3, 14, 16}, {9, 13, 3, 18}, {18, 30, 8, 11}});
    grey_bitmap one_x_page = page;
    auto one_x = crop_and_downsample(one_x_page, 4);
    ASSERT_TRUE(one_x);
    grey_bitmap twice = upscaled(page, 2);
    erase_baseline_mark(twice);
    const grey_bitmap straight = hidpi_downsample(twice, *one_x, 2, 4);
    // The same page with everything one rendering pixel to the right and down.
    grey_bitmap moved = paper_with(twice.width, twice.height, {});
    for (int y = 1; y < twice.height; ++y)
        for (int x = 1; x < twice.width; ++x)
            moved.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] =
                twice.rows[static_cast<std::size_t>(y - 1)][static_cast<std::size_t>(x - 1)];
    EXPECT_GT(hidpi_difference(one_x->image, hidpi_downsample(moved, *one_x, 2, 4), 2),
              hidpi_difference(one_x->image, straight, 2));
    EXPECT_EQ(aligned_hidpi_image(moved, *one_x, 2, 4).rows, straight.rows);
}

}  // namespace
