// The typesetting stages: latex, dvips and Ghostscript, each run on the work
// files of one run, which live in a private directory inside work_dir.
#pragma once

#include <cstdint>
#include <cstdio>
#include <istream>
#include <optional>
#include <string>

// Where one run works. The process's working directory is work_dir; every
// work file lives in private_dir, a directory of this run's own inside it.
struct work_area {
    std::string work_dir;     // absolute path of work_dir
    std::string private_dir;  // relative to work_dir
    std::string work_base;    // the user's base name, for files kept on failure
};

// The internal work files, all relative to work_dir. The base name is fixed
// and safe, so no user-chosen name ever reaches an external program.
std::string work_file(const work_area& area, const char* suffix);

// Owns the private directory: makes it (mode 0700) and removes it with all
// it holds when destroyed.
struct private_directory {
    std::string name;  // relative to the working directory; empty: none
    private_directory() = default;
    private_directory(const private_directory&) = delete;
    private_directory& operator=(const private_directory&) = delete;
    ~private_directory();
};

// Makes a hidden private directory in the current directory. Prints a
// message and returns false when it cannot.
bool make_private_directory(private_directory& dir);

// Removes a directory and everything below it without following links.
void remove_tree(const std::string& path);

// Writes the document around the formula read from `formula_in` and runs
// latex. Leaves the DVI file in the private directory; on failure keeps the
// log as <work_base>.log in work_dir and prints the first TeX error.
int run_latex_stage(const work_area& area, const std::string& preamble,
                    const std::string& environment, bool verbose, int formula_in = 0);

// Runs dvips; on failure keeps the DVI file as <work_base>.dvi in work_dir.
int run_dvips_stage(const work_area& area, bool verbose);

// Reads the bounding box and has Ghostscript render the page.
int run_raster_stage(const work_area& area, int32_t resolution, int32_t oversampling_factor,
                     bool verbose);

// ---- Pure steps, exposed for tests ----

// The document that latex typesets, up to the formula ("." included) and
// after it.
std::string document_head(const std::string& preamble, const std::string& environment);
std::string document_tail(const std::string& environment);

struct bounding_box {
    int32_t llx = 0, lly = 0, urx = 0, ury = 0;
};

// Parses "%%BoundingBox: %i %i %i %i" at the start of the line.
std::optional<bounding_box> parse_bounding_box_line(const std::string& line);

// The first line of the stream that contains "%BoundingBox", parsed.
std::optional<bounding_box> read_bounding_box(std::FILE* stream);

struct render_geometry {
    int32_t render_resolution = 0;  // dots per inch
    int32_t page_width = 0;         // pixels
    int32_t page_height = 0;
};

// Page size in render pixels for the box, in 32-bit integer arithmetic;
// none (and a message in *error) when a value does not fit or the page
// holds more than max_render_pixels.
constexpr int64_t max_render_pixels = int64_t{1} << 28;
std::optional<render_geometry> compute_render_geometry(const bounding_box& box,
                                                       int32_t resolution,
                                                       int32_t oversampling_factor,
                                                       std::string* error);

// The PostScript line that moves the box's corner to the page's corner.
std::string translate_line(const bounding_box& box);

// The first TeX error of a log: the "!" line through the "l.<n>" line and
// the line after it, at most a few lines, control bytes and invalid UTF-8
// shown as '?'. Reads only as far as it needs.
std::string first_tex_error(std::istream& log);
