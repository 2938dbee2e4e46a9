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

// A page's two renderings: the image with the formula's ink, the mark alone.
struct passes {
    grey_bitmap image, mark;
};
passes page(int w, int h, rect mark, std::initializer_list<rect> ink) {
    return {paper_with(w, h, ink), paper_with(w, h, {mark})};
}

TEST(CropFromPasses, MarkAndFormula) {
    // Mark on columns 1-3, rows 14-16; formula on columns 8-30, rows 3-18.
    passes p = page(40, 20, {1, 3, 14, 16}, {{8, 30, 3, 18}});
    auto out = crop_from_passes(p.image, p.mark, 4);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->image.width, 8);  // crop 4..34
    EXPECT_EQ(out->image.height, 5);
    EXPECT_EQ(out->baseline_offset, 1);  // mean row 15: n = -3
    EXPECT_EQ(out->crop_left, 4);
    EXPECT_EQ(out->image.rows, reference_filter(p.image, 4, 34, 4, 8, 5).rows);
    // Block (r 1, c 1): columns 8-11, rows 4-7 all ink.
    EXPECT_EQ(out->image.rows[1][1], 0);
    // Block (r 0, c 1): rows 0-3, only row 3 inked: 12 white of 16.
    EXPECT_EQ(out->image.rows[0][1], 255 * 12 / 16);
}

TEST(CropFromPasses, EdgeCases) {
    {   // mark alone: crop to the bitmap's edge, all paper
        passes p = page(40, 20, {1, 3, 14, 16}, {});
        auto out = crop_from_passes(p.image, p.mark, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.width, 9);
        EXPECT_EQ(out->image.height, 5);
        EXPECT_EQ(out->baseline_offset, 1);
        for (const auto& row : out->image.rows)
            for (uint8_t v : row)
                EXPECT_EQ(v, 255);
    }
    {   // white columns ahead of the mark change nothing
        passes a = page(40, 20, {1, 3, 14, 16}, {{8, 30, 3, 18}});
        passes b = page(46, 20, {7, 9, 14, 16}, {{14, 36, 3, 18}});
        auto oa = crop_from_passes(a.image, a.mark, 4);
        auto ob = crop_from_passes(b.image, b.mark, 4);
        ASSERT_TRUE(oa && ob);
        EXPECT_EQ(oa->image.rows, ob->image.rows);
        EXPECT_EQ(oa->baseline_offset, ob->baseline_offset);
    }
    {   // ink in the last column: crop_right = W + 3, paper beyond the edge
        passes p = page(20, 4, {0, 1, 0, 3}, {{4, 19, 0, 3}});
        auto out = crop_from_passes(p.image, p.mark, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.width, 6);  // (23 - 2) / 4 rounded up
        EXPECT_EQ(out->image.rows[0][5], 255);
        EXPECT_EQ(out->image.rows[0][1], 0);
        EXPECT_EQ(out->image.rows[0][0], 255 * 8 / 16);  // columns 2-5: two white
    }
    {   // s = 1: the crop itself
        passes p{bitmap_from({"...#.", "....#", ".....", "....."}), bitmap_from({"#....", "#....", ".....", "....."})};
        auto out = crop_from_passes(p.image, p.mark, 1);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.rows, bitmap_from({"..#.", "...#", "....", "...."}).rows);
        EXPECT_EQ(out->baseline_offset, 4 - 0 - 2);
    }
    {   // 254 is ink; the mean row truncates (rows 2 and 3 give 2)
        passes p = page(6, 8, {0, 0, 3, 3}, {});
        p.mark.rows[2][0] = 254;
        auto out = crop_from_passes(p.image, p.mark, 1);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->baseline_offset, 8 - 2 - 2);
    }
}

// The formula's ink is never taken for the mark, wherever it lies.
TEST(CropFromPasses, FormulaInkInTheMarksColumns) {
    {   // ink in the mark's own columns (an accent over the dot, \llap{x})
        passes p = page(40, 20, {5, 7, 14, 16}, {{5, 7, 2, 6}, {10, 20, 3, 18}});
        auto out = crop_from_passes(p.image, p.mark, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->baseline_offset, 1);  // the dot's mean row 15, as alone
        // The image starts a whole output pixel left of the dot's end (8),
        // at 4, so columns 5-7 of the formula are in it.
        EXPECT_EQ(out->crop_left, 4);
        EXPECT_EQ(out->image.width, 5);  // (24 - 4) / 4
        EXPECT_EQ(out->image.rows[1][0], 255 * 7 / 16);  // columns 4-7, rows 4-7: 9 of 16 inked
    }
    {   // a later line starting left of the dot (ink from column 1)
        passes p = page(40, 20, {9, 11, 6, 8}, {{14, 30, 2, 8}, {1, 20, 12, 18}});
        auto out = crop_from_passes(p.image, p.mark, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->crop_left, 0);  // 12 - 4 * 3
        EXPECT_EQ(out->baseline_offset, baseline_offset_for(20, 7, 4));
        EXPECT_EQ(out->image.rows, reference_filter(p.image, 0, 34, 4, 9, 5).rows);
    }
    {   // the dot alone is a mark; no dot at all is none
        passes p = page(10, 10, {2, 3, 2, 3}, {});
        EXPECT_TRUE(crop_from_passes(p.image, p.mark, 4));
        grey_bitmap none = paper_with(10, 10, {});
        EXPECT_FALSE(crop_from_passes(p.image, none, 4));
        EXPECT_EQ(crop_from_passes(p.image, none, 4).error.message, "\nImage doesn't start with a dot\n");
    }
}

TEST(CropFromPasses, EdgesWithInk) {
    struct row {
        rect ink;
        bool left, bottom, top, right;
    };
    const row rows[] = {
        {{3, 5, 3, 5}, false, false, false, false},
        {{0, 2, 3, 5}, true, false, false, false},
        {{3, 5, 7, 7}, false, true, false, false},
        {{3, 5, 0, 1}, false, false, true, false},
        {{3, 9, 3, 5}, false, false, false, true},
        {{0, 9, 0, 7}, true, true, true, true},
    };
    for (const auto& r : rows) {
        const grey_bitmap image = paper_with(10, 8, {r.ink});
        const inked_edges e = edges_with_ink(image, paper_with(10, 8, {{4, 4, 4, 4}}));
        EXPECT_EQ(e.left, r.left);
        EXPECT_EQ(e.bottom, r.bottom);
        EXPECT_EQ(e.top, r.top);
        EXPECT_EQ(e.right, r.right);
    }
    // The mark counts too.
    EXPECT_TRUE(edges_with_ink(paper_with(10, 8, {}), paper_with(10, 8, {{0, 1, 4, 5}})).left);
}

// A page grown by 8 rows above and below (s = 4): the margins' rows stay only
// as far as ink reaches into them, by whole output pixels.
TEST(CropFromPasses, GrownPagesKeepOnlyTheRowsInkNeeds) {
    // The page proper is rows 8-27; the mark's mean row 23 (row 15 of it).
    passes p = page(40, 36, {1, 3, 22, 24}, {{8, 30, 6, 29}});
    auto out = crop_from_passes(p.image, p.mark, 4, 8, 8);
    ASSERT_TRUE(out);
    // Ink from row 6: one output row of the top margin stays (rows 4-7);
    // ink to row 29: one of the bottom margin (rows 28-31).
    EXPECT_EQ(out->crop_top, 4);
    EXPECT_EQ(out->image.height, 7);  // rows 4-31
    // As on the page proper (offset 1 for 20 rows), one output row lower.
    EXPECT_EQ(out->baseline_offset, 2);
    // Without ink in the margins they all go: the page proper's result.
    passes q = page(40, 36, {1, 3, 22, 24}, {{8, 30, 11, 26}});
    auto plain = crop_from_passes(q.image, q.mark, 4, 8, 8);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->crop_top, 8);
    EXPECT_EQ(plain->image.height, 5);
    EXPECT_EQ(plain->baseline_offset, 1);
}

TEST(CropFromPasses, BaselineOffsetRounding) {
    // n = H - mean - 2s with s = 4
    const std::pair<int, int> cases[] = {{12, 3}, {9, 3}, {0, 0}, {-3, 1}, {-4, -1}, {-5, 0}, {-8, -2}};
    for (auto [n, offset] : cases)
        EXPECT_EQ(baseline_offset_for(100, 100 - 8 - n, 4), offset) << "n = " << n;
}

TEST(CropFromPasses, SeventeenLevelsWithFactorFour) {
    // k white samples of 16 give floor(255 k / 16).
    for (int k = 0; k <= 16; ++k) {
        passes p = page(12, 4, {0, 0, 0, 0}, {{11, 11, 0, 0}});  // the crop starts at 1
        int placed = 16 - k;
        for (int i = 0; i < placed; ++i)
            p.image.rows[static_cast<std::size_t>(i / 4)][static_cast<std::size_t>(5 + i % 4)] = 0;
        auto out = crop_from_passes(p.image, p.mark, 4);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->image.rows[0][1], 255 * k / 16) << k;  // columns 5-8
    }
}

TEST(CropFromPasses, MatchesTheReferenceOnRandomBitmaps) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 300; ++trial) {
        const int w = 4 + static_cast<int>(rng() % 40), h = 1 + static_cast<int>(rng() % 30);
        const int s = 1 + static_cast<int>(rng() % 6);
        const int dot = static_cast<int>(rng() % static_cast<unsigned>(w - 2));
        passes p = page(w, h, {dot, dot + 1, 0, h - 1}, {});
        int first = w, last = -1;
        for (int y = 0; y < h; ++y)
            for (int x = dot + 2; x < w; ++x)
                if (rng() % 3 == 0) {
                    p.image.rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] =
                        static_cast<uint8_t>(rng() % 255);
                    first = std::min(first, x);
                    last = std::max(last, x);
                }
        auto out = crop_from_passes(p.image, p.mark, s);
        ASSERT_TRUE(out);
        const int crop_left = dot + 2, crop_right = last < 0 ? w : last + s;
        ASSERT_EQ(out->crop_left, crop_left);
        grey_bitmap expected = reference_filter(p.image, crop_left, crop_right, s,
                                                (crop_right - crop_left + s - 1) / s, (h + s - 1) / s);
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

// One-bit rows are packed eight pixels a byte, the first in the high bit:
// a width that ends inside a byte, and one that fills whole bytes.
TEST(ReadPng, OneBitRowsAcrossBytes) {
    for (int width : {13, 16, 1}) {
        SCOPED_TRACE(width);
        const int height = 3;
        std::vector<uint8_t> samples;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                samples.push_back((x * 7 + y * 3) % 5 == 0 ? 0 : 255);
        auto read = read_bytes(encode_test_png(width, height, 1, PNG_COLOR_TYPE_GRAY, samples));
        ASSERT_TRUE(read) << read.error.message;
        ASSERT_EQ(read->bitmap.width, width);
        ASSERT_EQ(read->bitmap.height, height);
        std::vector<uint8_t> flat;
        for (const auto& line : read->bitmap.rows) {
            ASSERT_EQ(line.size(), static_cast<std::size_t>(width));
            flat.insert(flat.end(), line.begin(), line.end());
        }
        EXPECT_EQ(flat, samples);
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
    const passes p = page(40, 20, {1, 3, 14, 16}, {{8, 30, 3, 18}, {20, 22, 0, 1}});
    auto one_x = crop_from_passes(p.image, p.mark, 4);
    ASSERT_TRUE(one_x);
    for (int n : {2, 3, 4}) {
        SCOPED_TRACE(n);
        grey_bitmap twice = upscaled(p.image, n);
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
    const passes p = page(20, 8, {0, 1, 5, 6}, {{4, 19, 0, 7}});
    auto one_x = crop_from_passes(p.image, p.mark, 4);
    ASSERT_TRUE(one_x);
    grey_bitmap twice = upscaled(p.image, 2);
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
    const passes p = page(40, 20, {1, 3, 14, 16}, {{9, 13, 3, 18}, {18, 30, 8, 11}});
    auto one_x = crop_from_passes(p.image, p.mark, 4);
    ASSERT_TRUE(one_x);
    grey_bitmap twice = upscaled(p.image, 2);
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
