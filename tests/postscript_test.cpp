#include <gtest/gtest.h>

#include <cstdio>

#include "postscript.h"

namespace {

TEST(BoundingBox, ParsesTheLineAsScanfWould) {
    struct row {
        const char* line;
        bool ok;
        bounding_box box;
    };
    const row rows[] = {
        {"%%BoundingBox: 72 72 144 100\n", true, {72, 72, 144, 100}},
        {"%%BoundingBox:-3 5 7 9", true, {-3, 5, 7, 9}},
        {"%%BoundingBox: 010 0x1F 0X10 -0", true, {8, 31, 16, 0}},
        {"%%BoundingBox:\t1\t2  3   4 trailing", true, {1, 2, 3, 4}},
        {"%%BoundingBox: 1 2 3", false, {}},
        {"%%BoundingBox: (atend)", false, {}},
        {" %%BoundingBox: 1 2 3 4", false, {}},
        {"%%HiResBoundingBox: 1 2 3 4", false, {}},
        {"%%BoundingBox: 1 2 3 99999999999", false, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        auto b = parse_bounding_box_line(r.line);
        ASSERT_EQ(b.has_value(), r.ok);
        if (r.ok) {
            EXPECT_EQ(b->llx, r.box.llx);
            EXPECT_EQ(b->lly, r.box.lly);
            EXPECT_EQ(b->urx, r.box.urx);
            EXPECT_EQ(b->ury, r.box.ury);
        }
    }
}

std::optional<bounding_box> box_of(std::string text) {
    std::FILE* f = fmemopen(text.data(), text.size(), "rb");
    auto b = read_bounding_box(f);
    std::fclose(f);
    return b;
}

TEST(BoundingBox, OnlyTheFirstLineMentioningItCounts) {
    auto b = box_of("%!PS-Adobe-2.0 EPSF-2.0\n%%Creator: dvips\n%%BoundingBox: 148 657 164 669\n"
                    "%%HiResBoundingBox: 1 2 3 4\n%%BoundingBox: 0 0 1 1\n");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->llx, 148);
    EXPECT_EQ(b->ury, 669);
    // A first mention that does not parse is not rescued by a later one.
    EXPECT_FALSE(box_of("% see %BoundingBox below\n%%BoundingBox: 1 2 3 4\n"));
    EXPECT_FALSE(box_of("%!PS\nshowpage\n"));
    EXPECT_FALSE(box_of(""));
}

TEST(RenderGeometry, SizesAndLimits) {
    struct row {
        bounding_box box;
        int32_t resolution, s;
        bool ok;
        int32_t r, w, h;
    };
    const row rows[] = {
        {{72, 72, 144, 100}, 100, 4, true, 400, 404, 156},
        {{5, 5, 5, 5}, 100, 4, true, 400, 4, 4},            // empty box: one output pixel
        {{0, 0, 7, 7}, 100, 1, true, 100, 10, 10},          // 700 / 72 truncates to 9
        {{1, 0, 0, 1}, 100, 2, true, 200, 0, 4},            // -100 / 72 is -1, not -2
        {{0, 0, 100, 100}, 0, 3, true, 0, 3, 3},
        {{0, 0, 100, 20}, 100000, 100000, false, 0, 0, 0},  // render resolution overflows
        {{0, 0, 2000000000, 1}, 2, 1, false, 0, 0, 0},      // width product overflows
        {{INT32_MIN, 0, INT32_MAX, 1}, 1, 1, false, 0, 0, 0},
        {{0, 0, 5000, 5000}, 100, 2, true, 200, 13890, 13890},
        {{0, 0, 5000, 5000}, 100, 4, false, 0, 0, 0},       // more than 2^28 pixels
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.box.llx << " " << r.box.urx << " res " << r.resolution
                                        << " s " << r.s);
        auto g = compute_render_geometry(r.box, r.resolution, r.s);
        ASSERT_EQ(g.ok(), r.ok) << g.error.message;
        if (r.ok) {
            EXPECT_EQ(g->render_resolution, r.r);
            EXPECT_EQ(g->page_width, r.w);
            EXPECT_EQ(g->page_height, r.h);
        } else {
            EXPECT_EQ(g.error.message.front(), '\n');
            EXPECT_EQ(g.error.message.back(), '\n');
            EXPECT_NE(g.error.message.find("; lower -r or -s\n"), std::string::npos);
        }
    }
}

TEST(RenderGeometry, TranslateLineUsesRawPoints) {
    EXPECT_EQ(translate_line({72, 72, 144, 100}), "72 neg 72 neg translate\n");
    EXPECT_EQ(translate_line({-3, 5, 0, 0}), "-3 neg 5 neg translate\n");
}

}  // namespace
