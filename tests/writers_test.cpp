#include <gtest/gtest.h>

#include <gif_lib.h>

#include <array>

#include "support.h"
#include "writers.h"

namespace {

using rgb = std::array<int, 3>;

rgb entry(const palette_ramp& p, int i) {
    return {p.colours[3 * i], p.colours[3 * i + 1], p.colours[3 * i + 2]};
}

TEST(PaletteRamp, OpaqueForm) {
    struct row {
        rgb_colour fg, bg;
        std::vector<std::pair<int, rgb>> entries;
    };
    const row rows[] = {
        {{0, 0, 0}, {160, 160, 160},
         {{0, {0, 0, 0}}, {1, {0, 0, 0}}, {2, {1, 1, 1}}, {64, {40, 40, 40}}, {128, {80, 80, 80}},
          {200, {125, 125, 125}}, {254, {159, 159, 159}}, {255, {160, 160, 160}}}},
        {{18, 52, 86}, {254, 220, 186},
         {{1, {18, 52, 86}}, {128, {136, 136, 136}}, {254, {253, 219, 185}}, {255, {254, 220, 186}}}},
        {{255, 255, 255}, {0, 0, 0}, {{0, {255, 255, 255}}, {100, {155, 155, 155}}, {255, {0, 0, 0}}}},
        {{0, 0, 0}, {255, 255, 255}, {{0, {0, 0, 0}}, {100, {100, 100, 100}}, {255, {255, 255, 255}}}},
        {{9, 9, 9}, {9, 9, 9}, {{0, {9, 9, 9}}, {77, {9, 9, 9}}, {255, {9, 9, 9}}}},
        // Out-of-range components are clamped, never wrapped.
        {{-1, 300, 0}, {0, 0, 0}, {{0, {0, 255, 0}}, {255, {0, 0, 0}}}},
    };
    for (const auto& r : rows) {
        palette_ramp p = build_palette_ramp(r.fg, r.bg, false);
        for (const auto& [i, colour] : r.entries)
            EXPECT_EQ(entry(p, i), colour) << "entry " << i;
        for (int i = 0; i < 256; ++i)
            EXPECT_EQ(p.alpha[i], 255);
    }
    // Every index: foreground weight 255 - i, background weight i, rounded down.
    palette_ramp p = build_palette_ramp({10, 20, 30}, {200, 100, 0}, false);
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(entry(p, i), (rgb{(10 * (255 - i) + 200 * i) / 255, (20 * (255 - i) + 100 * i) / 255,
                                    (30 * (255 - i)) / 255}));
}

TEST(PaletteRamp, TransparentForm) {
    palette_ramp p = build_palette_ramp({18, 52, 86}, {254, 220, 186}, true);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(entry(p, i), (rgb{18, 52, 86}));
        EXPECT_EQ(p.alpha[i], 255 - i);
    }
}

grey_bitmap all_levels() {
    grey_bitmap b;
    b.width = 16;
    b.height = 16;
    for (int y = 0; y < 16; ++y) {
        std::vector<uint8_t> row;
        for (int x = 0; x < 16; ++x)
            row.push_back(static_cast<uint8_t>(y * 16 + x));
        b.rows.push_back(row);
    }
    return b;
}

std::vector<uint8_t> flat(const grey_bitmap& b) {
    std::vector<uint8_t> v;
    for (const auto& r : b.rows)
        v.insert(v.end(), r.begin(), r.end());
    return v;
}

TEST(PngWriter, ChunksAndPixels) {
    const grey_bitmap image = all_levels();
    for (bool transparent : {true, false}) {
        SCOPED_TRACE(transparent);
        auto encoded = encode_png(image, {0, 0, 0}, {160, 160, 160}, transparent);
        ASSERT_TRUE(encoded);
        EXPECT_EQ(encoded->warnings, "");
        const std::string& bytes = encoded->bytes;
        decoded_png d = decode_png(bytes);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, 16);
        EXPECT_EQ(d.height, 16);
        EXPECT_EQ(d.bit_depth, 8);
        EXPECT_EQ(d.colour_type, 3);
        EXPECT_EQ(d.interlace, 0);
        EXPECT_EQ(d.indices, flat(image));  // levels written unchanged as indices
        ASSERT_EQ(d.palette.size(), 768u);
        ASSERT_EQ(d.alpha.size(), 256u);
        for (int i = 0; i < 256; ++i) {
            EXPECT_EQ(d.palette[3 * static_cast<std::size_t>(i)], transparent ? 0 : 160 * i / 255);
            EXPECT_EQ(d.alpha[static_cast<std::size_t>(i)], transparent ? 255 - i : 255);
        }
        // No chunk beyond IHDR, PLTE, tRNS, IDAT, IEND.
        for (const char* chunk : {"gAMA", "sRGB", "pHYs", "tEXt", "tIME", "cHRM"})
            EXPECT_EQ(bytes.find(chunk), std::string::npos) << chunk;
    }
}

TEST(Writers, RowsThatDoNotMatchTheSizeAreRefused) {
    grey_bitmap short_row = all_levels();
    short_row.rows[3].resize(5);  // refused, not overrun
    grey_bitmap missing_row = all_levels();
    missing_row.rows.pop_back();
    for (const grey_bitmap& bad : {short_row, missing_row}) {
        EXPECT_FALSE(encode_png(bad, {}, {}, true));
        EXPECT_FALSE(encode_gif(bad, {}, {}, true));
    }
}

struct gif_file {
    std::string bytes;
    GifFileType* gif = nullptr;
    ~gif_file() {
        if (gif)
            DGifCloseFile(gif, nullptr);
    }
};

TEST(GifWriter, TablesExtensionAndPixels) {
    temp_dir dir;
    const grey_bitmap image = all_levels();
    const std::pair<rgb_colour, rgb_colour> colour_pairs[] = {
        {{0, 0, 0}, {160, 160, 160}},      // the defaults: a grey ramp
        {{18, 52, 86}, {254, 220, 186}},   // not grey
    };
    for (const auto& [fg, bg] : colour_pairs) {
        for (bool transparent : {true, false}) {
            SCOPED_TRACE(testing::Message() << "transparent " << transparent << " fg red " << fg.red);
            const std::string path = dir.file("out.gif");
            auto encoded = encode_gif(image, fg, bg, transparent);
            ASSERT_TRUE(encoded);
            write_file(path, encoded->bytes);
            gif_file g;
            g.bytes = encoded->bytes;
            // Header, logical screen: 16 x 16, global table of 256, background 255.
            EXPECT_EQ(g.bytes.substr(0, 6), transparent ? "GIF89a" : "GIF87a");
            EXPECT_EQ(static_cast<uint8_t>(g.bytes[6]), 16);
            EXPECT_EQ(static_cast<uint8_t>(g.bytes[10]) & 0x87, 0x87);
            EXPECT_EQ(static_cast<uint8_t>(g.bytes[11]), 255);
            // Right after the global table: the extension, or the image descriptor.
            const std::string after_table = g.bytes.substr(13 + 768, 8);
            if (transparent)
                EXPECT_EQ(after_table, std::string("\x21\xF9\x04\x01\x00\x00\xFF\x00", 8));
            else
                EXPECT_EQ(after_table[0], '\x2C');

            int error = 0;
            g.gif = DGifOpenFileName(path.c_str(), &error);
            ASSERT_NE(g.gif, nullptr);
            ASSERT_EQ(DGifSlurp(g.gif), GIF_OK);
            ASSERT_EQ(g.gif->ImageCount, 1);
            const SavedImage& img = g.gif->SavedImages[0];
            EXPECT_EQ(img.ImageDesc.Width, 16);
            EXPECT_EQ(img.ImageDesc.Height, 16);
            EXPECT_FALSE(img.ImageDesc.Interlace);
            std::vector<uint8_t> pixels(img.RasterBits, img.RasterBits + 256);
            EXPECT_EQ(pixels, flat(image));
            palette_ramp ramp = build_palette_ramp(fg, bg, false);
            if (fg.red == 0) {
                EXPECT_EQ(ramp.colours[3 * 128], 80);  // floor(160 * 128 / 255)
            }
            for (const ColorMapObject* map : {g.gif->SColorMap, img.ImageDesc.ColorMap}) {
                ASSERT_NE(map, nullptr);
                ASSERT_EQ(map->ColorCount, 256);
                for (int i = 0; i < 256; ++i) {
                    EXPECT_EQ(map->Colors[i].Red, ramp.colours[3 * i]);
                    EXPECT_EQ(map->Colors[i].Green, ramp.colours[3 * i + 1]);
                    EXPECT_EQ(map->Colors[i].Blue, ramp.colours[3 * i + 2]);
                }
            }
            GraphicsControlBlock gcb;
            bool has_gcb = DGifSavedExtensionToGCB(g.gif, 0, &gcb) == GIF_OK;
            EXPECT_EQ(has_gcb, transparent);
            if (has_gcb) {
                EXPECT_EQ(gcb.TransparentColor, 255);
            }
        }
    }
}

TEST(GifWriter, ZeroHeight) {
    grey_bitmap empty;
    empty.width = 5;
    empty.height = 0;
    auto encoded = encode_gif(empty, {}, {160, 160, 160}, true);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(encoded->bytes.substr(0, 6), "GIF89a");
    EXPECT_EQ(encoded->bytes.back(), ';');  // the trailer
}

}  // namespace
