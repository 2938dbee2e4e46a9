#include "stages.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "document.h"
#include "file_ptr.h"
#include "postscript.h"
#include "bitmap.h"
#include "process.h"
#include "tex_log.h"
#include "tool_invocations.h"

namespace {

void report_progress(std::FILE* progress, const char* piece) {
    if (progress)
        std::fputs(piece, progress);
}

// "Error running <title>" and why, when the program could not say it.
failure tool_failure(const char* title, const char* program, const child_result& r,
                     const child_spec& spec) {
    return failure{std::string("\nError running ") + title + "\n" +
                   child_failure_reason(program, r, spec.time_limit_seconds)};
}

}  // namespace

step_failure run_latex_stage(const work_area& area, const std::string& preamble,
                             const std::string& environment, std::FILE* progress,
                             formula_source formula) {
    report_progress(progress, "tex -> dvi");
    const std::string document = work_file(area, ".tex");
    if (step_failure f =
            formula.text ? write_text_file(document, document_text(preamble, environment, *formula.text))
                         : write_document(document, preamble, environment, formula.descriptor))
        return f;
    const child_spec spec = latex_invocation(area, caller_texinputs());
    const child_result r = run_child(spec);
    if (r.succeeded())
        return std::nullopt;
    if (r.outcome == child_outcome::interrupted)
        return failure{};
    std::string excerpt;
    if (r.outcome == child_outcome::exited) {
        std::ifstream log(work_file(area, ".log"), std::ios::binary);
        excerpt = first_tex_error(log);
    }
    const std::string kept = keep_as(area, ".log");
    failure f = tool_failure("LaTeX", "latex", r, spec);
    return failure{kept + f.message + excerpt};
}

step_failure run_dvips_stage(const work_area& area, std::FILE* progress) {
    report_progress(progress, " -> ps");
    const child_spec spec = dvips_invocation(area, caller_texinputs());
    const child_result r = run_child(spec);
    if (r.succeeded()) {
        unlink(work_file(area, ".dvi").c_str());
        return std::nullopt;
    }
    if (r.outcome == child_outcome::interrupted)
        return failure{};
    const std::string kept = keep_as(area, ".dvi");
    return failure{kept + tool_failure("dvips", "dvips", r, spec).message};
}

namespace {

// Runs one Ghostscript invocation; a failure only for the time limit or an
// interruption (any other failure shows when the rendering is read).
step_failure run_gs(const child_spec& spec) {
    const child_result r = run_child(spec);
    if (r.outcome == child_outcome::timed_out)
        return tool_failure("Ghostscript", "gs", r, spec);
    if (r.outcome == child_outcome::interrupted)
        return failure{};
    return std::nullopt;
}

// Reads one rendering back and removes its file.
result<rendered_bitmap> read_back(const work_area& area, const std::string& file) {
    result<rendered_bitmap> rendered = read_rendered_png(file);
    unlink(file.c_str());
    if (!rendered)
        return failure{rendered.error.message + "\nError reading '" + area.work_base +
                       ".ps.png'\n"};
    return rendered;
}

// Room for ink beyond an edge: 10 points at first, doubled each time, in
// whole output pixels so that the output grid stays where it was.
int32_t margin_pixels(int32_t render_resolution, int32_t s, int step) {
    const int64_t points = int64_t{10} << step;
    const int64_t pixels = (points * render_resolution + 71) / 72;
    return static_cast<int32_t>((pixels + s - 1) / s * s);
}

constexpr int max_growth_steps = 4;

// Renders the page, growing it where ink meets an edge, then the n-times
// image on the final page.
result<page_renderings> render_pages(const work_area& area, const std::string& ps,
                                     int32_t resolution, int32_t s, int32_t hidpi_scale) {
    std::optional<bounding_box> box;
    if (file_ptr in{std::fopen(ps.c_str(), "rb")})
        box = read_bounding_box(in.get());
    if (!box)
        return failure{"\nNo bounding box in the PostScript output of dvips\n"};
    result<render_geometry> page = compute_render_geometry(*box, resolution, s);
    if (!page)
        return page.error;
    if (hidpi_scale > 1) {
        if (result<render_geometry> scaled = scaled_geometry(*page, hidpi_scale); !scaled)
            return scaled.error;
    }
    const std::string image_file = work_file(area, "-1.png"), mark_file = work_file(area, "-2.png");
    page_margins margins;
    result<page_renderings> pages = failure{};
    for (int step = 0;; ++step) {
        result<render_geometry> grown = grown_geometry(*page, margins);
        if (!grown)
            return grown.error;
        // A formula can \openout files into the private directory: whatever is
        // read back as a rendering must come from gs.
        unlink(image_file.c_str());
        unlink(mark_file.c_str());
        if (step_failure f =
                run_gs(gs_invocation(area, *grown, *box, page->page_height, margins)))
            return *f;
        pages = read_page_renderings(area, image_file, mark_file);
        if (!pages)
            return pages;
        pages->margins = margins;
        const inked_edges edges = edges_with_ink(pages->image, pages->mark);
        if (!edges.any() || step == max_growth_steps)
            break;
        const int32_t more = margin_pixels(page->render_resolution, s, step);
        margins.left += edges.left ? more : 0;
        margins.bottom += edges.bottom ? more : 0;
        margins.top += edges.top ? more : 0;
        margins.right += edges.right ? more : 0;
    }
    if (hidpi_scale > 1) {
        const int32_t n = hidpi_scale;
        const page_margins scaled_margins{margins.left * n, margins.bottom * n, margins.top * n,
                                          margins.right * n};
        result<render_geometry> dense = scaled_geometry(*grown_geometry(*page, margins), n);
        if (!dense)
            return dense.error;
        const std::string file = work_file(area, ".hidpi.png");
        unlink(file.c_str());
        if (step_failure f = run_gs(gs_hidpi_invocation(area, *dense, *box, page->page_height * n,
                                                        scaled_margins, n)))
            return *f;
        result<rendered_bitmap> read = read_rendered_png(file);
        unlink(file.c_str());
        if (!read)
            return failure{read.error.message + "\nError reading '" + area.work_base +
                           ".hidpi.png'\n"};
        pages->hidpi = std::move(read->bitmap);
        pages->warnings += read->warnings;
    }
    return pages;
}

}  // namespace

result<page_renderings> read_page_renderings(const work_area& area, const std::string& image_file,
                                             const std::string& mark_file) {
    result<rendered_bitmap> image = read_back(area, image_file);
    result<rendered_bitmap> mark = read_back(area, mark_file);
    if (!image)
        return image.error;
    if (!mark)
        return mark.error;
    page_renderings pages;
    pages.image = std::move(image->bitmap);
    pages.mark = std::move(mark->bitmap);
    pages.warnings = image->warnings + mark->warnings;
    return pages;
}

result<page_renderings> run_raster_stage(const work_area& area, int32_t resolution,
                                         int32_t oversampling_factor, int32_t hidpi_scale,
                                         std::FILE* progress) {
    report_progress(progress, " -> png");
    const std::string ps = work_file(area, ".ps");
    result<page_renderings> pages =
        render_pages(area, ps, resolution, oversampling_factor, hidpi_scale);
    unlink(ps.c_str());
    return pages;
}

step_failure run_shared_latex_stage(const work_area& area, const std::string& document) {
    if (step_failure f = write_text_file(work_file(area, ".tex"), document))
        return f;
    const child_spec spec = latex_invocation(area, caller_texinputs());
    const child_result r = run_child(spec);
    if (r.succeeded())
        return std::nullopt;
    return tool_failure("LaTeX", "latex", r, spec);
}

namespace {

// The TeX page number of a file that dvips wrote for one page: the first
// number of its "TeXDict begin <count0> <sequence> bop" line.
std::optional<long> tex_page_number(std::FILE* page) {
    char* line = nullptr;
    std::size_t capacity = 0;
    std::optional<long> number;
    while (getline(&line, &capacity, page) >= 0) {
        long count0 = 0, sequence = 0;
        char bop[4] = {};
        if (std::sscanf(line, "TeXDict begin %ld %ld %3s", &count0, &sequence, bop) == 3 &&
            std::string(bop) == "bop") {
            number = count0;
            break;
        }
    }
    std::free(line);
    return number;
}

std::string page_file(const work_area& area, std::size_t page) {
    char name[32];
    std::snprintf(name, sizeof name, "page%03zu", page);
    return path_in(area.private_dir, name);
}

}  // namespace

namespace {

// dvips spends most of a page file's time copying fonts into it, and only
// the box of these files is used, which dvips takes from the fonts' metrics:
// a copy of its font map with every font resident in the printer gives the
// same boxes without the fonts. Its name in the private directory; empty
// when it cannot be made, and dvips then reads its own map.
std::string resident_font_map_file(const work_area& area) {
    const std::string answer = path_in(area.private_dir, "font-map-path");
    if (!run_child(font_map_lookup_invocation(area, caller_texinputs(), answer)).succeeded())
        return "";
    std::string path = read_work_file(answer);
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r'))
        path.pop_back();
    if (path.empty() || path.find('\n') != std::string::npos)
        return "";
    if (path[0] != '/')  // found relative to the lookup's directory
        path = path_in(area.private_dir, path);
    const std::string map = read_work_file(path);
    if (map.empty() ||
        write_text_file(path_in(area.private_dir, "resident.map"), resident_font_map(map)))
        return "";
    return "resident.map";
}

}  // namespace

result<std::vector<bounding_box>> run_pages_dvips_stage(const work_area& area, std::size_t pages) {
    const child_spec spec =
        dvips_pages_invocation(area, caller_texinputs(), resident_font_map_file(area));
    const child_result r = run_child(spec);
    if (!r.succeeded())
        return tool_failure("dvips", "dvips", r, spec);
    std::vector<bounding_box> boxes;
    for (std::size_t i = 1; i <= pages; ++i) {
        file_ptr in{std::fopen(page_file(area, i).c_str(), "rb")};
        std::optional<bounding_box> box = in ? read_bounding_box(in.get()) : std::nullopt;
        std::optional<long> number = box ? tex_page_number(in.get()) : std::nullopt;
        if (!number || *number != static_cast<long>(i))
            return failure{"\nPage " + std::to_string(i) + " of the shared run is not its job's\n"};
        boxes.push_back(*box);
    }
    // One page more than the jobs: a formula made a page of its own.
    if (file_ptr extra{std::fopen(page_file(area, pages + 1).c_str(), "rb")})
        return failure{"\nThe shared run has more pages than jobs\n"};
    return boxes;
}

step_failure run_pages_raster_stage(const work_area& area, const std::vector<bounding_box>& boxes,
                                    int32_t resolution, int32_t oversampling_factor) {
    std::vector<table_page> pages;
    int32_t r = 72;
    for (const bounding_box& box : boxes) {
        result<render_geometry> geometry =
            compute_render_geometry(box, resolution, oversampling_factor);
        if (!geometry)
            return geometry.error;
        r = geometry->render_resolution;
        pages.push_back({*geometry, box});
    }
    const child_spec dvips = dvips_document_invocation(area, caller_texinputs());
    const child_result made = run_child(dvips);
    if (!made.succeeded())
        return tool_failure("dvips", "dvips", made, dvips);
    if (step_failure f = write_text_file(path_in(area.private_dir, "pages.ps"),
                                         page_table_code(pages, r)))
        return f;
    const child_spec spec = gs_pages_invocation(area, r);
    const child_result rendered = run_child(spec);
    if (!rendered.succeeded())
        return tool_failure("Ghostscript", "gs", rendered, spec);
    return std::nullopt;
}
