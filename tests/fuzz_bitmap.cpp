// libFuzzer target: the rendered-bitmap reader followed by crop and
// downsample, on arbitrary bytes. The first byte picks the oversampling
// factor (1 to 8); the rest is the file.
#include <cstdint>
#include <cstdio>

#include "bitmap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const int32_t s = 1 + data[0] % 8;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (!f)
        return 0;
    // A smaller cap than the real one keeps each input fast.
    result<rendered_bitmap> read = read_png_stream(f, int64_t{1} << 18);
    std::fclose(f);
    if (read) {
        crop_from_passes(read->bitmap, read->bitmap, s, s, s);
        edges_with_ink(read->bitmap, read->bitmap);
    }
    return 0;
}
