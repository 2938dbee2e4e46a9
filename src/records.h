// Plain records shared by every subsystem of mathrast.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

enum class image_format { png, gif };

// One colour as the command line scans it. Each component is normally
// 0..255, but the scan accepts a sign ("-1"), so writers clamp.
struct rgb_colour {
    int32_t red = 0;
    int32_t green = 0;
    int32_t blue = 0;
};

// Everything the command line sets; defaults are those of a bare run.
struct job_settings {
    image_format format = image_format::png;
    int32_t oversampling_factor = 4;  // always >= 1 once scanned
    int32_t resolution = 100;         // output dots per inch, unchecked
    rgb_colour foreground{0, 0, 0};
    rgb_colour background{160, 160, 160};
    bool transparent = true;
    bool verbose = false;
    std::string preamble;
    std::string environment = "displaymath";
    std::optional<std::string> output_name;  // none: image to stdout
    int32_t hidpi_scale = 1;  // -x: 2, 3 or 4 also writes an n-times image
    bool batch = false;       // -B: jobs on stdin, results on stdout
};

// An 8-bit grey image. rows[y][x] is the sample at column x of row y,
// rows top first, pixels left first; each row holds exactly width bytes.
// 0 is ink (black), 255 is paper (white).
struct grey_bitmap {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<std::vector<uint8_t>> rows;
};

// The output of the crop and downsample step.
struct downsampled_image {
    grey_bitmap image;
    int32_t baseline_offset = 0;  // output pixels; may be zero or negative
    int32_t crop_left = 0;        // the rendering's column where the image starts
    int32_t crop_top = 0;         // and its row
};

// Largest rendering we ask Ghostscript for or read back, in pixels.
constexpr int64_t max_rendering_pixels = int64_t{1} << 28;

// A failed step: the exact text the user is shown on standard error, line
// feeds included. Lower layers return it; one place prints it.
struct failure {
    std::string message;
};

// The value of a step that can fail, or its failure.
template <typename T>
struct result {
    std::optional<T> value;
    failure error;

    result(T v) : value(std::move(v)) {}
    result(failure f) : error(std::move(f)) {}
    bool ok() const { return value.has_value(); }
    explicit operator bool() const { return ok(); }
    T& operator*() { return *value; }
    const T& operator*() const { return *value; }
    T* operator->() { return &*value; }
    const T* operator->() const { return &*value; }
};

// A step with no value: none on success.
using step_failure = std::optional<failure>;
