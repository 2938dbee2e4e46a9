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

child_spec dvips_pages_invocation(const work_area& area,
                                  const std::optional<std::string>& texinputs,
                                  const std::string& font_map) {
    child_spec spec = dvips_invocation(area, texinputs);
    spec.argv = {"dvips", "-R2", "-q", "-E", "-i", "-S", "1"};
    if (!font_map.empty()) {
        // Secure mode opens no map by a path: the name is looked up, and
        // only in the private directory, so that no other map can stand in.
        spec.argv.insert(spec.argv.end(), {"-u", font_map});
        spec.env_set.push_back("TEXFONTMAPS=.");
    }
    spec.argv.insert(spec.argv.end(), {"-o", "page", work_file_name(".dvi")});
    return spec;
}

child_spec font_map_lookup_invocation(const work_area& area,
                                      const std::optional<std::string>& texinputs,
                                      const std::string& answer) {
    child_spec spec = tex_tool(area, texinputs);
    spec.argv = {"kpsewhich", "-progname=dvips", "-format=map", "psfonts.map"};
    spec.stdout_to = output_sink::to_stderr;
    spec.stderr_to = output_sink::null;
    spec.diagnostics_path = answer;
    return spec;
}

std::string resident_font_map(const std::string& map) {
    std::string out;
    std::size_t start = 0;
    while (start < map.size()) {
        std::size_t end = map.find('\n', start);
        if (end == std::string::npos)
            end = map.size();
        const std::string line = map.substr(start, end - start);
        start = end + 1;
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || std::string("%*#;").find(line[first]) != std::string::npos) {
            out += line + "\n";
            continue;
        }
        // Words, a quoted one whole; a word that starts with '<' names a
        // font or encoding file, which may also follow a lone "<", "<<" or "<[".
        std::string kept;
        bool file_follows = false;
        for (std::size_t i = first; i < line.size();) {
            if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
                ++i;
                continue;
            }
            std::size_t stop = line[i] == '"' ? line.find('"', i + 1) : line.find_first_of(" \t\r", i);
            stop = stop == std::string::npos ? line.size() : stop + (line[i] == '"' ? 1 : 0);
            const std::string word = line.substr(i, stop - i);
            i = stop;
            if (file_follows) {
                file_follows = false;
                continue;
            }
            if (word[0] == '<') {
                file_follows = word == "<" || word == "<<" || word == "<[";
                continue;
            }
            kept += (kept.empty() ? "" : " ") + word;
        }
        out += kept + "\n";
    }
    return out;
}

namespace {

// What every Ghostscript run of ours shares: the private directory, its
// messages on stderr (its stdout may be carrying the image), no font
// generation, and the temporary directory that SAFER still allows made ours.
// The page size comes from the geometry, unless each page sets its own.
child_spec gs_run(const work_area& area, const std::string& output,
                  const render_geometry& geometry, bool page_size = true) {
    child_spec spec;
    spec.argv = {"gs", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pngmono",
                 "-sOutputFile=" + output, "-r" + std::to_string(geometry.render_resolution), "-q"};
    if (page_size)
        spec.argv.push_back("-g" + std::to_string(geometry.page_width) + "x" +
                            std::to_string(geometry.page_height));
    spec.directory = area.private_dir;
    spec.diagnostics_path = area.diagnostics_path;
    spec.stdout_to = output_sink::to_stderr;
    spec.env_set = no_font_generation();
    spec.env_set.insert(spec.env_set.end(),
                        {"TMPDIR=" + area.private_dir, "TEMP=" + area.private_dir});
    return spec;
}

}  // namespace

child_spec gs_invocation(const work_area& area, const render_geometry& geometry,
                         const bounding_box& box, int32_t page_height,
                         const page_margins& margins) {
    child_spec spec = gs_run(area, work_file_name("-%d.png"), geometry);
    // The passes' definitions go with a restore between them, which must be
    // code of its own.
    spec.argv.insert(spec.argv.end(),
                     {"-c", "/mr@job save def " + image_pass_code(box, page_height, margins), "-f",
                      work_file_name(".ps"), "-c", "mr@job restore", "-c",
                      mark_pass_code(box, page_height, margins), "-f", work_file_name(".ps")});
    return spec;
}

child_spec gs_hidpi_invocation(const work_area& area, const render_geometry& geometry,
                               const bounding_box& box, int32_t page_height,
                               const page_margins& margins, int32_t n) {
    child_spec spec = gs_run(area, work_file_name(".hidpi.png"), geometry);
    spec.argv.insert(spec.argv.end(), {"-c", image_pass_code(box, page_height, margins, n), "-f",
                                       work_file_name(".ps")});
    return spec;
}

child_spec dvips_document_invocation(const work_area& area,
                                     const std::optional<std::string>& texinputs) {
    child_spec spec = dvips_invocation(area, texinputs);
    // "-t unknown": no paper size, which would move the origin away from
    // where the files of one page each have it.
    spec.argv = {"dvips", "-R2", "-q", "-t", "unknown", "-o", work_file_name(".ps"),
                 work_file_name(".dvi")};
    return spec;
}

child_spec gs_pages_invocation(const work_area& area, int32_t r) {
    child_spec spec = gs_run(area, work_file_name("-%d.png"), {r, 0, 0}, false);
    // The table's counter and the passes' definitions go with the restore.
    spec.argv.insert(spec.argv.end(),
                     {"-c", "/mr@job save def", "-f", "pages.ps", "-c", image_pass_code_per_page(),
                      "-f", work_file_name(".ps"), "-c", "mr@job restore", "-f", "pages.ps", "-c",
                      mark_pass_code_per_page(), "-f", work_file_name(".ps")});
    return spec;
}
