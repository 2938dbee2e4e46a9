// High-density images (-x) end to end with the real tool chain.
#include <gtest/gtest.h>

#include <gif_lib.h>
#include <sys/stat.h>

#include <algorithm>

#include "support.h"

namespace {

const std::string binary = MATHRAST_BINARY;

run_output mathrast(std::vector<std::string> args, const std::string& input, const std::string& dir,
                    const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), binary);
    return run_program(args, input, dir, env);
}

struct box {
    double left = 1e9, top = 1e9, right = -1, bottom = -1;  // in 1x pixels
};

// The box around every pixel with any ink, in 1x pixels.
box ink_box(const decoded_png& png, int n) {
    box b;
    for (int y = 0; y < png.height; ++y)
        for (int x = 0; x < png.width; ++x)
            if (png.indices[static_cast<std::size_t>(y * png.width + x)] != 255) {
                b.left = std::min(b.left, static_cast<double>(x) / n);
                b.top = std::min(b.top, static_cast<double>(y) / n);
                b.right = std::max(b.right, static_cast<double>(x + 1) / n);
                b.bottom = std::max(b.bottom, static_cast<double>(y + 1) / n);
            }
    return b;
}

// Mean absolute difference between the 1x image and the n-times one
// averaged down by n.
double difference(const decoded_png& one, const decoded_png& many, int n) {
    double total = 0;
    for (int y = 0; y < one.height; ++y)
        for (int x = 0; x < one.width; ++x) {
            double sum = 0;
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i)
                    sum += many.indices[static_cast<std::size_t>((y * n + j) * many.width + x * n + i)];
            total += std::abs(sum / (n * n) - one.indices[static_cast<std::size_t>(y * one.width + x)]);
        }
    return total / (one.width * one.height);
}

TEST(HighDensity, NTimesImageOnTheOneTimesGrid) {
    const std::vector<std::string> formulas = {
        "x", "g", "\\alpha", "x^2+y^2=z^2", "\\int_0^\\infty e^{-x^2}\\,dx", "\\frac{a}{b}",
        "\\sqrt{\\sum_{i=1}^n i^2}",
    };
    const std::vector<std::vector<std::string>> option_sets = {{}, {"-s", "3", "-r", "150"}};
    for (const auto& options : option_sets) {
        for (const auto& formula : formulas) {
            for (int n : {2, 3}) {
                SCOPED_TRACE(formula + " -x " + std::to_string(n) + " " + testing::PrintToString(options));
                temp_dir dir;
                std::vector<std::string> plain = options, dense = options;
                plain.insert(plain.end(), {"-o", "plain.png"});
                dense.insert(dense.end(), {"-o", "eq.png", "-x", std::to_string(n)});
                run_output a = mathrast(plain, formula, dir.path);
                run_output b = mathrast(dense, formula, dir.path);
                ASSERT_EQ(a.status, 0) << a.err;
                ASSERT_EQ(b.status, 0) << b.err;
                EXPECT_EQ(b.err, "");
                // The 1x image and its values are those of a run without -x.
                EXPECT_EQ(read_file(dir.file("eq.png")), read_file(dir.file("plain.png")));
                const std::string suffix = std::to_string(n) + "x";
                EXPECT_EQ(b.out, a.out + " SRCSET=\"eq@" + suffix + ".png " + suffix + "\"");

                decoded_png one = decode_png(read_file(dir.file("eq.png")));
                decoded_png many = decode_png(read_file(dir.file("eq@" + suffix + ".png")));
                ASSERT_TRUE(one.ok && many.ok);
                EXPECT_EQ(many.width, n * one.width);
                EXPECT_EQ(many.height, n * one.height);
                EXPECT_EQ(many.palette, one.palette);
                EXPECT_EQ(many.alpha, one.alpha);
                if (many.width != n * one.width || many.height != n * one.height)
                    continue;
                const box p = ink_box(one, 1), q = ink_box(many, n);
                EXPECT_LE(std::abs(p.left - q.left), 1.0);
                EXPECT_LE(std::abs(p.top - q.top), 1.0);
                EXPECT_LE(std::abs(p.right - q.right), 1.0);
                EXPECT_LE(std::abs(p.bottom - q.bottom), 1.0);
                EXPECT_LE(difference(one, many, n), 8.0);
                EXPECT_EQ(list_dir(dir.path),
                          (std::vector<std::string>{"eq.png", "eq@" + suffix + ".png", "plain.png"}));
            }
        }
    }
}

TEST(HighDensity, GifAndNames) {
    temp_dir dir;
    mkdir(dir.file("img").c_str(), 0755);
    struct row {
        std::vector<std::string> args;
        const char* dense_file;
        const char* srcset;
    };
    const row rows[] = {
        {{"-f", "gif", "-x", "3", "-o", "img/eq1.gif"}, "img/eq1@3x.gif", "img/eq1@3x.gif 3x"},
        {{"-o", "eq", "-x", "2"}, "eq@2x", "eq@2x 2x"},
        {{"-o", "a b,c\"d'e<f>g&h%i.tar.png", "-x", "4"}, "a b,c\"d'e<f>g&h%i.tar@4x.png",
         "a%20b%2Cc%22d%27e%3Cf%3Eg%26h%25i.tar@4x.png 4x"},
        {{"-x", "2", "-o", dir.file("img/abs.png")}, "img/abs@2x.png", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        run_output out = mathrast(r.args, "x_1", dir.path);
        ASSERT_EQ(out.status, 0) << out.err;
        const std::string srcset = r.srcset ? r.srcset : dir.file("img/abs@2x.png") + " 2x";
        EXPECT_NE(out.out.find(" margin: 0;\" SRCSET=\"" + srcset + "\""), std::string::npos) << out.out;
        EXPECT_TRUE(file_exists(dir.file(r.dense_file)));
    }
    int error = 0;
    GifFileType* gif = DGifOpenFileName(dir.file("img/eq1@3x.gif").c_str(), &error);
    ASSERT_NE(gif, nullptr);
    ASSERT_EQ(DGifSlurp(gif), GIF_OK);
    const int dense_width = gif->SWidth;
    DGifCloseFile(gif, &error);
    gif = DGifOpenFileName(dir.file("img/eq1.gif").c_str(), &error);
    ASSERT_NE(gif, nullptr);
    ASSERT_EQ(DGifSlurp(gif), GIF_OK);
    EXPECT_EQ(dense_width, 3 * gif->SWidth);
    DGifCloseFile(gif, &error);
}

TEST(HighDensity, RefusedBeforeAnyWork) {
    temp_dir dir;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-x", "2"}, "\nOption -x needs -o: the n-times image is written beside the image file\n"},
        {{"-x", "5", "-o", "eq.png"}, "\nHigh-density factor '5' is not 2, 3 or 4\n"},
        {{"-o", "eq.png", "-x", "two"}, "\nHigh-density factor 'two' is not 2, 3 or 4\n"},
    };
    for (const auto& [args, message] : cases) {
        run_output r = mathrast(args, "x", dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message);
    }
    EXPECT_TRUE(list_dir(dir.path).empty());
}

TEST(HighDensity, BothImagesOrNeither) {
    {   // Ghostscript fails only for the n-times rendering.
        temp_dir bin, dir;
        for (const char* real : {"latex", "dvips"})
            symlink(("/usr/bin/" + std::string(real)).c_str(), bin.file(real).c_str());
        write_file(bin.file("gs"), "#!/bin/sh\ncase \"$*\" in *hidpi*) exit 1;; esac\nexec /usr/bin/gs \"$@\"\n");
        chmod(bin.file("gs").c_str(), 0755);
        run_output r = mathrast({"-o", "eq.png", "-x", "2"}, "x", dir.path, {"PATH=" + bin.path + ":/usr/bin:/bin"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nError reading 'eq.hidpi.png'\n");
        EXPECT_TRUE(list_dir(dir.path).empty());
    }
    {   // The n-times name is taken by a directory: the image is not left alone.
        temp_dir dir;
        mkdir(dir.file("eq@2x.png").c_str(), 0755);
        write_file(dir.file("eq@2x.png/keep"), "");
        run_output r = mathrast({"-o", "eq.png", "-x", "2"}, "x", dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "\nError writing image to 'eq.png'\n");
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"eq@2x.png"});
    }
}

}  // namespace
