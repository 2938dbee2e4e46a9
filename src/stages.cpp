#include "stages.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "process.h"

namespace {

const char internal_base[] = "formula";

struct file_closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// Environment that every external program gets: no font generation (it
// would run more programs and write outside the run's directory).
std::vector<std::string> common_env() {
    return {"MKTEXPK=0", "MKTEXTFM=0", "MKTEXMF=0"};
}

// The TeX search path: our own document first, then work_dir (where a user's
// macro files are, as in a run there), then what the caller set, with its
// relative entries read relative to work_dir as before.
std::string tex_inputs(const work_area& area) {
    std::string path = ".:" + area.work_dir + ":";
    const char* caller = std::getenv("TEXINPUTS");
    if (!caller)
        return path;  // the trailing empty entry brings the default path
    std::string value(caller);
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
            entry = area.work_dir + "/" + entry;
        path += (start == 0 ? "" : ":") + prefix + entry;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return path;
}

// Adds the reason for a failure that the program itself cannot explain.
void explain(const char* program, const child_result& r, int seconds) {
    if (r.outcome == child_outcome::timed_out)
        std::fprintf(stderr, "%s was stopped: the time limit of %i seconds was reached\n", program,
                     seconds);
    else if (r.outcome == child_outcome::not_started)
        std::fprintf(stderr, "Cannot run '%s': %s\n", program, std::strerror(r.code));
    else if (r.outcome == child_outcome::signalled)
        std::fprintf(stderr, "%s was killed by signal %i\n", program, r.code);
}

bool write_all(std::FILE* f, const std::string& s) {
    return std::fwrite(s.data(), 1, s.size(), f) == s.size();
}

enum class copy_result { done, read_failed, write_failed };

// Copies the formula into the document. A read error is reported here; an
// interruption is reported by the driver.
copy_result copy_formula(int in, std::FILE* out) {
    std::vector<char> buffer(65536);
    for (;;) {
        ssize_t got = read(in, buffer.data(), buffer.size());
        if (got == 0)
            return copy_result::done;
        if (got < 0) {
            if (errno == EINTR && !interrupt_signal())
                continue;
            if (!interrupt_signal())
                std::fprintf(stderr, "\nCannot read the formula from standard input: %s\n",
                             std::strerror(errno));
            return copy_result::read_failed;
        }
        if (std::fwrite(buffer.data(), 1, static_cast<std::size_t>(got), out) !=
            static_cast<std::size_t>(got))
            return copy_result::write_failed;
    }
}

bool write_document(const std::string& path, const std::string& preamble,
                    const std::string& environment, int formula_in) {
    file_ptr doc(std::fopen(path.c_str(), "wb"));
    if (!doc) {
        std::fprintf(stderr, "\nCannot create the LaTeX document: %s\n", std::strerror(errno));
        return false;
    }
    errno = 0;
    copy_result copied = write_all(doc.get(), document_head(preamble, environment))
                             ? copy_formula(formula_in, doc.get())
                             : copy_result::write_failed;
    if (copied == copy_result::read_failed)
        return false;
    bool ok = copied == copy_result::done && write_all(doc.get(), document_tail(environment)) &&
              std::fflush(doc.get()) == 0;
    int closed = std::fclose(doc.release());
    if (!ok || closed != 0) {
        std::fprintf(stderr, "\nCannot write the LaTeX document: %s\n",
                     std::strerror(errno ? errno : EIO));
        return false;
    }
    return true;
}

// Moves a work file into work_dir under the user's name, for inspection.
void keep_as(const work_area& area, const char* suffix) {
    std::string kept = area.work_base + suffix;
    if (std::rename(work_file(area, suffix).c_str(), kept.c_str()) != 0 && errno != ENOENT)
        std::fprintf(stderr, "Cannot keep '%s': %s\n", kept.c_str(), std::strerror(errno));
}

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

// A log line as it may safely reach a terminal: control bytes and invalid
// UTF-8 (a formula's own bytes can be anything) become '?'.
std::string printable(const std::string& line) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    const std::size_t n = line.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool valid = length > 0 && i + length <= n && !(c >= 0xC0 && c < 0xC2) && c < 0xF5;
        for (std::size_t k = 1; valid && k < length; ++k)
            valid = (p[i + k] & 0xC0) == 0x80;
        if (!valid || (length == 1 && ((c < 32 && c != '\t') || c == 127))) {
            out += '?';
            ++i;
        } else {
            out.append(line, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace

std::string work_file(const work_area& area, const char* suffix) {
    return area.private_dir + "/" + internal_base + suffix;
}

private_directory::~private_directory() {
    if (!name.empty())
        remove_tree(name);
}

bool make_private_directory(private_directory& dir) {
    char name[] = ".mathrast-XXXXXX";
    if (!mkdtemp(name)) {  // mode 0700
        std::fprintf(stderr, "\nCannot make a work directory in the output directory: %s\n",
                     std::strerror(errno));
        return false;
    }
    dir.name = name;
    return true;
}

namespace {

void remove_below(int dir_fd) {
    DIR* d = fdopendir(dir_fd);
    if (!d) {
        close(dir_fd);
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    for (const auto& n : names) {
        if (unlinkat(dirfd(d), n.c_str(), 0) == 0)
            continue;
        int sub = openat(dirfd(d), n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            remove_below(sub);
            unlinkat(dirfd(d), n.c_str(), AT_REMOVEDIR);
        }
    }
    closedir(d);
}

}  // namespace

void remove_tree(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    remove_below(fd);
    rmdir(path.c_str());
}

std::string document_head(const std::string& preamble, const std::string& environment) {
    return "\\nonstopmode\n"
           "\\documentclass[12pt]{article}\n"
           "\\pagestyle{empty}\n" +
           preamble + "\n\\begin{document}\n\\begin{" + environment + "}\n.";
}

std::string document_tail(const std::string& environment) {
    return "\\end{" + environment + "}\n\\end{document}\n";
}

int run_latex_stage(const work_area& area, const std::string& preamble,
                    const std::string& environment, bool verbose, int formula_in) {
    if (verbose)
        std::fputs("tex -> dvi", stderr);
    if (!write_document(work_file(area, ".tex"), preamble, environment, formula_in))
        return -1;

    child_spec spec;
    spec.argv = {"latex", std::string(internal_base) + ".tex"};
    spec.directory = area.private_dir;
    spec.stdout_to = output_sink::null;
    spec.env_set = common_env();
    // Reads only below work_dir, writes only in the private directory, and
    // runs no shell command, whatever the formula asks for.
    spec.env_set.insert(spec.env_set.end(), {"openin_any=p", "openout_any=p", "shell_escape=f",
                                             "TEXINPUTS=" + tex_inputs(area)});
    spec.env_unset = {"TEXMFOUTPUT"};
    child_result r = run_child(spec);
    if (r.succeeded())
        return 0;
    if (r.outcome == child_outcome::interrupted)
        return -1;
    std::string excerpt;
    if (r.outcome == child_outcome::exited) {
        std::ifstream log(work_file(area, ".log"), std::ios::binary);
        excerpt = first_tex_error(log);
    }
    keep_as(area, ".log");
    std::fputs("\nError running LaTeX\n", stderr);
    explain("latex", r, spec.time_limit_seconds);
    std::fputs(excerpt.c_str(), stderr);
    return -1;
}

int run_dvips_stage(const work_area& area, bool verbose) {
    if (verbose)
        std::fputs(" -> ps", stderr);
    child_spec spec;
    // -R2: no shell commands, no absolute or parent-directory names in specials.
    spec.argv = {"dvips", "-R2", "-q", "-E", "-o", std::string(internal_base) + ".ps",
                 std::string(internal_base) + ".dvi"};
    spec.directory = area.private_dir;
    spec.stdout_to = output_sink::null;
    spec.stderr_to = output_sink::null;
    spec.env_set = common_env();
    spec.env_set.push_back("TEXINPUTS=" + tex_inputs(area));
    spec.env_unset = {"TEXMFOUTPUT"};
    child_result r = run_child(spec);
    if (r.succeeded()) {
        unlink(work_file(area, ".dvi").c_str());
        return 0;
    }
    if (r.outcome == child_outcome::interrupted)
        return -1;
    keep_as(area, ".dvi");
    std::fputs("\nError running dvips\n", stderr);
    explain("dvips", r, spec.time_limit_seconds);
    return -1;
}

int run_raster_stage(const work_area& area, int32_t resolution, int32_t oversampling_factor,
                     bool verbose) {
    if (verbose)
        std::fputs(" -> png", stderr);
    const std::string ps = work_file(area, ".ps");
    std::optional<bounding_box> box;
    {
        file_ptr in(std::fopen(ps.c_str(), "rb"));
        if (in)
            box = read_bounding_box(in.get());
    }
    if (!box) {
        unlink(ps.c_str());
        std::fputs("\nNo bounding box in the PostScript output of dvips\n", stderr);
        return -1;
    }
    std::string error;
    std::optional<render_geometry> g =
        compute_render_geometry(*box, resolution, oversampling_factor, &error);
    if (!g) {
        unlink(ps.c_str());
        std::fputs(error.c_str(), stderr);
        return -1;
    }

    // A formula can \openout files into the private directory: whatever is
    // read back as the rendering must come from gs.
    unlink(work_file(area, ".ps.png").c_str());

    child_spec spec;
    spec.argv = {"gs",
                 "-dSAFER",
                 "-sDEVICE=pngmono",
                 "-sOutputFile=" + std::string(internal_base) + ".ps.png",
                 "-r" + std::to_string(g->render_resolution),
                 "-g" + std::to_string(g->page_width) + "x" + std::to_string(g->page_height),
                 "-q",
                 "-",
                 std::string(internal_base) + ".ps"};
    spec.directory = area.private_dir;
    spec.stdin_data = translate_line(*box);
    // gs prints its diagnostics on stdout, which may be carrying the image.
    spec.stdout_to = output_sink::to_stderr;
    spec.env_set = common_env();
    // SAFER still lets PostScript use the temporary directory: make that ours.
    const std::string tmp = area.work_dir + "/" + area.private_dir;
    spec.env_set.insert(spec.env_set.end(), {"TMPDIR=" + tmp, "TEMP=" + tmp});
    child_result r = run_child(spec);
    unlink(ps.c_str());
    if (r.outcome == child_outcome::timed_out) {
        std::fputs("\nError running Ghostscript\n", stderr);
        explain("gs", r, spec.time_limit_seconds);
        return -1;
    }
    if (r.outcome == child_outcome::interrupted)
        return -1;
    // Any other failure shows when the rendering is read.
    return 0;
}

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

std::optional<render_geometry> compute_render_geometry(const bounding_box& box,
                                                       int32_t resolution,
                                                       int32_t oversampling_factor,
                                                       std::string* error) {
    const int64_t r = int64_t{resolution} * oversampling_factor;
    std::optional<int32_t> w = page_side(box.llx, box.urx, resolution, oversampling_factor);
    std::optional<int32_t> h = page_side(box.lly, box.ury, resolution, oversampling_factor);
    if (!fits(r) || !w || !h) {
        if (error)
            *error = "\nResolution " + std::to_string(resolution) + " with oversampling factor " +
                     std::to_string(oversampling_factor) +
                     " gives a rendering too large to compute; lower -r or -s\n";
        return std::nullopt;
    }
    if (*w > 0 && *h > 0 && int64_t{*w} * *h > max_render_pixels) {
        if (error)
            *error = "\nThe rendering would be " + std::to_string(*w) + " x " +
                     std::to_string(*h) + " pixels, more than " +
                     std::to_string(max_render_pixels) + "; lower -r or -s\n";
        return std::nullopt;
    }
    return render_geometry{static_cast<int32_t>(r), *w, *h};
}

std::string translate_line(const bounding_box& box) {
    return std::to_string(box.llx) + " neg " + std::to_string(box.lly) + " neg translate\n";
}

std::string first_tex_error(std::istream& in) {
    const std::size_t max_lines = 8;
    std::string line;
    std::vector<std::string> lines;
    bool context_seen = false;
    while (std::getline(in, line)) {
        if (lines.empty() && (line.empty() || line[0] != '!'))
            continue;
        lines.push_back(printable(line) + "\n");
        if (context_seen)
            break;  // the line after the context line
        context_seen = line.size() > 2 && line[0] == 'l' && line[1] == '.' &&
                       std::isdigit(static_cast<unsigned char>(line[2]));
        if (!context_seen && lines.size() >= max_lines)
            break;
    }
    // Without its context line within reach, the "!" line alone says most.
    if (!context_seen && !lines.empty())
        lines.resize(1);
    std::string out;
    for (const auto& l : lines)
        out += l;
    return out;
}
