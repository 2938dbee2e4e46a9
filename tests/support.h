// Helpers shared by the tests: temporary directories, running the binary,
// and decoding images back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "records.h"

// A fresh directory under /tmp, removed with everything in it at the end.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

struct run_output {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs argv (argv[0] looked up on PATH unless it has a "/") in `dir` with
// `input` on stdin; `env` entries ("NAME=value") are added or replaced.
run_output run_program(const std::vector<std::string>& argv, const std::string& input,
                       const std::string& dir, const std::vector<std::string>& env = {});

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string& path);

// Processes whose working directory lies below `root`: a child left behind.
std::vector<std::string> processes_in(const std::string& root);

// A decoded indexed PNG: the palette indices and the PLTE and tRNS chunks.
struct decoded_png {
    bool ok = false;
    int32_t width = 0, height = 0;
    int bit_depth = 0, colour_type = -1, interlace = -1;
    std::vector<uint8_t> indices;   // width * height, rows top first
    std::vector<uint8_t> palette;   // 3 bytes an entry
    std::vector<uint8_t> alpha;     // tRNS entries
};
decoded_png decode_png(const std::string& bytes);

// A bitmap from text rows: '#' ink (0), '.' paper (255), digits 0-9 as
// themselves for odd values.
grey_bitmap bitmap_from(const std::vector<std::string>& rows);

// A greyscale PNG of the given depth and colour type, written with libpng.
// Samples are given as 8-bit values and scaled down to the depth.
std::string encode_test_png(int width, int height, int bit_depth, int colour_type,
                            const std::vector<uint8_t>& samples, bool with_trns = false);
