#include "tool_invocations.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Font generation would run more programs and write outside the private
// directory.
std::vector<std::string> no_font_generation() {
    return {"MKTEXPK=0", "MKTEXTFM=0", "MKTEXMF=0"};
}

// What latex and dvips share: no font generation, our search path, and no
// output directory of the caller's.
child_spec tex_tool(const work_area& area, const std::optional<std::string>& texinputs) {
    child_spec spec;
    spec.directory = area.private_dir;
    spec.diagnostics_path = area.diagnostics_path;
    spec.stdout_to = output_sink::null;
    spec.env_set = no_font_generation();
    spec.env_set.push_back("TEXINPUTS=" + tex_inputs(area.absolute_work_dir, texinputs));
    spec.env_unset = {"TEXMFOUTPUT"};
    return spec;
}

std::string work_file_name(const char* suffix) {
    return std::string(work_file_stem) + suffix;
}

}  // namespace

std::optional<std::string> caller_texinputs() {
    const char* value = std::getenv("TEXINPUTS");
    if (!value)
        return std::nullopt;
    return std::string(value);
}

std::string tex_inputs(const std::string& absolute_work_dir,
                       const std::optional<std::string>& caller) {
    std::string path = ".:" + absolute_work_dir + ":";
    if (!caller)
        return path;  // the trailing empty entry brings the default path
    const std::string& value = *caller;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = value.find(':', start);
        std::string entry = value.substr(start, end == std::string::npos ? end : end - start);
        std::string prefix;
        if (entry.compare(0, 2, "!!") == 0) {
            prefix = "!!";
            entry.erase(0, 2);
        }
        if (!entry.empty() && entry[0] != '/' && entry[0] != '~' && entry[0] != '$')
            entry = absolute_work_dir + "/" + entry;
        path += (start == 0 ? "" : ":") + prefix + entry;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return path;
}

child_spec latex_invocation(const work_area& area, const std::optional<std::string>& texinputs) {
    child_spec spec = tex_tool(area, texinputs);
    spec.argv = {"latex", work_file_name(".tex")};
    spec.env_set.insert(spec.env_set.end(), {"openin_any=p", "openout_any=p", "shell_escape=f"});
    return spec;
}

child_spec dvips_invocation(const work_area& area, const std::optional<std::string>& texinputs) {
    child_spec spec = tex_tool(area, texinputs);
    spec.argv = {"dvips", "-R2", "-q", "-E", "-o", work_file_name(".ps"), work_file_name(".dvi")};
    spec.stderr_to = output_sink::null;
    return spec;
}

std::string origin_on_grid(int32_t n) {
    // dvips rounds its page origin to whole device pixels; at n times the
    // resolution that is a finer grid. Moving the origin first to where the
    // 1x rounding puts it keeps the n-times page on the 1x pixel grid.
    const std::string scale = std::to_string(n);
    return "/bop-hook { 72 vsize 72 sub transform /mathrast-y exch def /mathrast-x exch def "
           "matrix currentmatrix "
           "dup 4 2 copy get mathrast-x " + scale + " div round " + scale + " mul mathrast-x sub add put "
           "dup 5 2 copy get mathrast-y " + scale + " div round " + scale + " mul mathrast-y sub add put "
           "setmatrix } def\n";
}

child_spec dvips_pages_invocation(const work_area& area,
                                  const std::optional<std::string>& texinputs) {
    child_spec spec = dvips_invocation(area, texinputs);
    spec.argv = {"dvips", "-R2", "-q", "-E", "-i", "-S", "1", "-o", "page", work_file_name(".dvi")};
    return spec;
}

child_spec gs_invocation(const work_area& area, const render_geometry& geometry,
                         const bounding_box& box, const char* output_suffix, int32_t grid_scale) {
    child_spec spec;
    spec.argv = {"gs",
                 "-dSAFER",
                 "-sDEVICE=pngmono",
                 "-sOutputFile=" + work_file_name(output_suffix),
                 "-r" + std::to_string(geometry.render_resolution),
                 "-g" + std::to_string(geometry.page_width) + "x" +
                     std::to_string(geometry.page_height),
                 "-q",
                 "-",
                 work_file_name(".ps")};
    spec.directory = area.private_dir;
    spec.diagnostics_path = area.diagnostics_path;
    spec.stdin_data = translate_line(box);
    if (grid_scale > 1)
        spec.stdin_data += origin_on_grid(grid_scale);
    // gs prints its diagnostics on stdout, which may be carrying the image.
    spec.stdout_to = output_sink::to_stderr;
    // SAFER still lets PostScript use the temporary directory: make that ours.
    spec.env_set = no_font_generation();
    spec.env_set.insert(spec.env_set.end(),
                        {"TMPDIR=" + area.private_dir, "TEMP=" + area.private_dir});
    return spec;
}

namespace {

// A number for PostScript, exactly as printed: "%.17g" round-trips a double.
std::string postscript_number(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

}  // namespace

child_spec gs_pages_invocation(const work_area& area, const std::vector<page_rendering>& pages) {
    child_spec spec;
    const int32_t r = pages.empty() ? 72 : pages.front().geometry.render_resolution;
    spec.argv = {"gs", "-dSAFER", "-dBATCH", "-dNOPAUSE", "--permit-file-read=" + area.private_dir + "/",
                 "-sDEVICE=pngmono", "-sOutputFile=" + work_file_name("-%d.png"),
                 "-r" + std::to_string(r), "-q"};
    for (const page_rendering& page : pages) {
        // The page size in points that gives the page's pixels at r.
        const double width = page.geometry.page_width * 72.0 / r;
        const double height = page.geometry.page_height * 72.0 / r;
        spec.argv.push_back("-c");
        spec.argv.push_back("<< /PageSize [" + postscript_number(width) + " " +
                            postscript_number(height) + "] >> setpagedevice " +
                            translate_line(page.box));
        spec.argv.push_back("-f");
        spec.argv.push_back(page.file);
    }
    spec.directory = area.private_dir;
    spec.diagnostics_path = area.diagnostics_path;
    spec.stdout_to = output_sink::to_stderr;
    spec.env_set = no_font_generation();
    spec.env_set.insert(spec.env_set.end(),
                        {"TMPDIR=" + area.private_dir, "TEMP=" + area.private_dir});
    return spec;
}
