#include "postscript.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

bool parse_int(const char*& p, int32_t& out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(p, &end, 0);  // %i: sign, then decimal, 0x hex or 0 octal
    if (end == p || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int32_t>(v);
    p = end;
    return true;
}

bool fits(int64_t v) {
    return v >= INT32_MIN && v <= INT32_MAX;
}

// One side of the page: s * ((hi - lo) * resolution / 72 + 1), each step in
// 32 bits, as the rendering has always been sized.
std::optional<int32_t> page_side(int32_t lo, int32_t hi, int32_t resolution, int32_t s) {
    int64_t v = int64_t{hi} - lo;
    if (!fits(v))
        return std::nullopt;
    v *= resolution;
    if (!fits(v))
        return std::nullopt;
    v = v / 72 + 1;
    v *= s;
    if (!fits(v))
        return std::nullopt;
    return static_cast<int32_t>(v);
}

// The page, once its sizes fit in 32 bits and it holds no more pixels than
// we read back; `name` and `options` word the refusal.
result<render_geometry> checked_page(int64_t r, int64_t w, int64_t h, const std::string& name,
                                     const char* options) {
    if (!fits(r) || !fits(w) || !fits(h) || (w > 0 && h > 0 && w * h > max_rendering_pixels))
        return failure{"\nThe " + name + " would be " + std::to_string(w) + " x " +
                       std::to_string(h) + " pixels, more than " +
                       std::to_string(max_rendering_pixels) + "; lower " + options + "\n"};
    return render_geometry{static_cast<int32_t>(r), static_cast<int32_t>(w),
                           static_cast<int32_t>(h)};
}

}  // namespace

std::optional<bounding_box> parse_bounding_box_line(const std::string& line) {
    static const char prefix[] = "%%BoundingBox:";
    if (line.compare(0, sizeof prefix - 1, prefix) != 0)
        return std::nullopt;
    const char* p = line.c_str() + sizeof prefix - 1;
    bounding_box b;
    int32_t* fields[] = {&b.llx, &b.lly, &b.urx, &b.ury};
    for (int32_t* f : fields) {
        if (!parse_int(p, *f))
            return std::nullopt;
    }
    return b;
}

std::optional<bounding_box> read_bounding_box(std::FILE* stream) {
    char* line = nullptr;
    std::size_t capacity = 0;
    ssize_t length;
    std::optional<bounding_box> box;
    while ((length = getline(&line, &capacity, stream)) >= 0) {
        std::string text(line, static_cast<std::size_t>(length));
        if (text.find("%BoundingBox") != std::string::npos) {
            box = parse_bounding_box_line(text);
            break;
        }
    }
    std::free(line);
    return box;
}

result<render_geometry> compute_render_geometry(const bounding_box& box, int32_t resolution,
                                                int32_t oversampling_factor) {
    const int64_t r = int64_t{resolution} * oversampling_factor;
    std::optional<int32_t> w = page_side(box.llx, box.urx, resolution, oversampling_factor);
    std::optional<int32_t> h = page_side(box.lly, box.ury, resolution, oversampling_factor);
    if (!fits(r) || !w || !h)
        return failure{"\nResolution " + std::to_string(resolution) + " with oversampling factor " +
                       std::to_string(oversampling_factor) +
                       " gives a rendering too large to compute; lower -r or -s\n"};
    return checked_page(r, *w, *h, "rendering", "-r or -s");
}

result<render_geometry> scaled_geometry(const render_geometry& one_x, int32_t n) {
    return checked_page(int64_t{one_x.render_resolution} * n, int64_t{one_x.page_width} * n,
                        int64_t{one_x.page_height} * n, std::to_string(n) + "-times rendering",
                        "-r, -s or -x");
}

std::string translate_line(const bounding_box& box) {
    return std::to_string(box.llx) + " neg " + std::to_string(box.lly) + " neg translate\n";
}


result<render_geometry> grown_geometry(const render_geometry& page, const page_margins& margins) {
    return checked_page(page.render_resolution,
                        int64_t{page.page_width} + margins.left + margins.right,
                        int64_t{page.page_height} + margins.top + margins.bottom, "rendering",
                        "-r or -s");
}

namespace {

// dvips draws every glyph with `show`, looked up by name when its page runs:
// ours, in userdict, sees the page's first glyph, which is the baseline mark.
// bop-hook (run at each page's start) arms it again.
const char glyph_hook[] =
    "/mr@show systemdict /show get def /mr@first false def ";

// The mark in white: the current point moves as before, the colour
// (any colour space) is set back for what follows.
const char image_show[] =
    "/show { userdict /mr@first get { userdict /mr@first false put dup length 0 gt {"
    " currentcolorspace mark currentcolor counttomark array astore exch pop 3 -1 roll"
    " dup 0 1 getinterval 1 setgray mr@show 3 1 roll exch setcolorspace aload pop setcolor"
    " dup length 1 sub 1 exch getinterval mr@show } { mr@show } ifelse } { mr@show } ifelse"
    " } def ";

// Everything clipped away but the mark, drawn in its own colour as in the
// image (a halftoned colour keeps its holes).
const char mark_show[] =
    "/show { userdict /mr@first get { userdict /mr@first false put dup length 0 gt {"
    " gsave initclip dup 0 1 getinterval mr@show grestore } if } if mr@show } def ";

// Where the box goes: today's translation, and on a grown page the origin
// moved by whole device pixels after dvips has rounded it (by wrapping its
// @rigin from start-hook), the halftone phase with it.
std::string placement(const bounding_box& box, int32_t page_height, const page_margins& m) {
    if (!m.any())
        return translate_line(box);
    std::string code;
    if (m.left || m.top)
        code += "-1 " + std::to_string(m.left) + " " + std::to_string(m.top) + " .setscreenphase ";
    code += "matrix defaultmatrix dup 5 " + std::to_string(page_height) + " put setmatrix " +
            translate_line(box);
    code += "/mr@shift { matrix currentmatrix dup 4 2 copy get " + std::to_string(m.left) +
            " add put dup 5 2 copy get " + std::to_string(m.top) + " add put setmatrix } def "
            "/start-hook { userdict /mr@rigin TeXDict /@rigin get put"
            " TeXDict /@rigin { mr@rigin mr@shift } put } def ";
    return code;
}

// dvips rounds its page origin to whole device pixels; at n times the
// resolution that grid is finer. Moving the origin first to where the 1x
// rounding puts it keeps the n-times page on the 1x grid.
std::string origin_on_grid(int32_t n) {
    const std::string scale = std::to_string(n);
    return " 72 vsize 72 sub transform /mathrast-y exch def /mathrast-x exch def "
           "matrix currentmatrix "
           "dup 4 2 copy get mathrast-x " + scale + " div round " + scale + " mul mathrast-x sub add put "
           "dup 5 2 copy get mathrast-y " + scale + " div round " + scale + " mul mathrast-y sub add put "
           "setmatrix";
}

}  // namespace

std::string image_pass_code(const bounding_box& box, int32_t page_height,
                            const page_margins& margins, int32_t grid_scale) {
    return std::string(glyph_hook) + "/bop-hook { userdict /mr@first true put" +
           (grid_scale > 1 ? origin_on_grid(grid_scale) : std::string()) + " } def " + image_show +
           placement(box, page_height, margins);
}

std::string mark_pass_code(const bounding_box& box, int32_t page_height,
                           const page_margins& margins) {
    return std::string(glyph_hook) +
           "/bop-hook { userdict /mr@first true put newpath clip newpath } def " + mark_show +
           placement(box, page_height, margins);
}

namespace {

// "%.17g" gives back the same double when PostScript reads it.
std::string exact_number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace

std::string page_table_code(const std::vector<table_page>& pages, int32_t r) {
    std::string code = "/mr@pages [\n";
    for (const table_page& p : pages)
        code += "[" + exact_number(p.geometry.page_width * 72.0 / r) + " " +
                exact_number(p.geometry.page_height * 72.0 / r) + " " +
                std::to_string(p.box.llx) + " " + std::to_string(p.box.lly) + "]\n";
    // At each page's start: its size, then its box's corner to the page's.
    return code + "] def /mr@n 0 def\n"
                  "/mr@place { mr@pages mr@n get aload pop /mr@n mr@n 1 add def 4 2 roll"
                  " 2 array astore << exch /PageSize exch >> setpagedevice"
                  " neg exch neg exch translate } def\n";
}

std::string image_pass_code_per_page() {
    return std::string(glyph_hook) + "/bop-hook { mr@place userdict /mr@first true put } def " +
           image_show;
}

std::string mark_pass_code_per_page() {
    return std::string(glyph_hook) +
           "/bop-hook { mr@place userdict /mr@first true put newpath clip newpath } def " +
           mark_show;
}
