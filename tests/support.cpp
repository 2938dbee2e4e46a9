#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "process.h"
#include "work_directory.h"

temp_dir::temp_dir() {
    char name[] = "/tmp/mathrast-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    path = name;
}

temp_dir::~temp_dir() {
    remove_tree(path);
}

run_output run_program(const std::vector<std::string>& argv, const std::string& input,
                       const std::string& dir, const std::vector<std::string>& env) {
    std::vector<std::string> env_words = merged_environment(env, {});
    std::vector<char*> envp, args;
    for (auto& e : env_words)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto& a : argv_copy)
        args.push_back(a.data());
    args.push_back(nullptr);

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    // A program that exits before reading all its input (a usage error) must
    // not kill the test with SIGPIPE; the write then fails with EPIPE instead.
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    run_output r;
    std::size_t written = 0;
    int in_fd = in[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    bool out_open = true, err_open = true;
    while (out_open || err_open) {
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
        if (!out_open)
            fds[0].fd = -1;
        if (!err_open)
            fds[1].fd = -1;
        poll(fds, 3, 1000);
        char buf[65536];
        if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0)
                    (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
                else if (n == 0 || errno != EAGAIN)
                    (i == 0 ? out_open : err_open) = false;
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> processes_in(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& pid : list_dir("/proc")) {
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        char target[4096];
        ssize_t n = readlink(("/proc/" + pid + "/cwd").c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind(root, 0) == 0)
            found.push_back(pid);
    }
    return found;
}

namespace {

struct memory_reader {
    const std::string* bytes;
    std::size_t at;
};

void read_from_memory(png_structp png, png_bytep out, png_size_t n) {
    auto* m = static_cast<memory_reader*>(png_get_io_ptr(png));
    if (m->at + n > m->bytes->size())
        png_error(png, "read past end");
    std::memcpy(out, m->bytes->data() + m->at, n);
    m->at += n;
}

void write_to_memory(png_structp png, png_bytep data, png_size_t n) {
    auto* s = static_cast<std::string*>(png_get_io_ptr(png));
    s->append(reinterpret_cast<const char*>(data), n);
}

void flush_nothing(png_structp) {}

void quiet_warning(png_structp, png_const_charp) {}

// setjmp is confined here; the buffers are owned by the caller.
bool decode_steps(png_structp png, png_infop info, memory_reader* m, decoded_png* d,
                  std::vector<png_bytep>* rows_out, int pass) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    if (pass == 0) {
        png_set_read_fn(png, m, read_from_memory);
        png_read_info(png, info);
        d->width = static_cast<int32_t>(png_get_image_width(png, info));
        d->height = static_cast<int32_t>(png_get_image_height(png, info));
        d->bit_depth = png_get_bit_depth(png, info);
        d->colour_type = png_get_color_type(png, info);
        d->interlace = png_get_interlace_type(png, info);
        png_colorp plte = nullptr;
        int n = 0;
        if (png_get_PLTE(png, info, &plte, &n)) {
            for (int i = 0; i < n; ++i) {
                d->palette.push_back(plte[i].red);
                d->palette.push_back(plte[i].green);
                d->palette.push_back(plte[i].blue);
            }
        }
        png_bytep trans = nullptr;
        int nt = 0;
        if (png_get_tRNS(png, info, &trans, &nt, nullptr))
            d->alpha.assign(trans, trans + nt);
        return true;
    }
    png_read_image(png, rows_out->data());
    png_read_end(png, nullptr);
    return true;
}

bool encode_steps(png_structp png, png_infop info, std::string* out, int w, int h, int depth,
                  int type, png_bytepp rows, bool with_trns) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_write_fn(png, out, write_to_memory, flush_nothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(w), static_cast<png_uint_32>(h), depth, type,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_color plte[2] = {{0, 0, 0}, {255, 255, 255}};
    if (type == PNG_COLOR_TYPE_PALETTE)
        png_set_PLTE(png, info, plte, 2);
    png_color_16 trans_grey{};
    if (with_trns)
        png_set_tRNS(png, info, nullptr, 0, &trans_grey);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

decoded_png decode_png(const std::string& bytes) {
    decoded_png d;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quiet_warning);
    png_infop info = png_create_info_struct(png);
    memory_reader m{&bytes, 0};
    std::vector<png_bytep> rows;
    if (decode_steps(png, info, &m, &d, &rows, 0) && d.bit_depth == 8 &&
        d.colour_type == PNG_COLOR_TYPE_PALETTE) {
        d.indices.assign(static_cast<std::size_t>(d.width) * static_cast<std::size_t>(d.height), 0);
        for (int32_t y = 0; y < d.height; ++y)
            rows.push_back(d.indices.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(d.width));
        d.ok = decode_steps(png, info, &m, &d, &rows, 1);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return d;
}

grey_bitmap bitmap_from(const std::vector<std::string>& rows) {
    grey_bitmap b;
    b.height = static_cast<int32_t>(rows.size());
    b.width = rows.empty() ? 0 : static_cast<int32_t>(rows[0].size());
    for (const auto& r : rows) {
        std::vector<uint8_t> row;
        for (char c : r)
            row.push_back(c == '#' ? 0 : c == '.' ? 255 : static_cast<uint8_t>(c - '0'));
        b.rows.push_back(row);
    }
    return b;
}

std::string encode_test_png(int width, int height, int bit_depth, int colour_type,
                            const std::vector<uint8_t>& samples, bool with_trns) {
    const int channels = colour_type == PNG_COLOR_TYPE_RGB          ? 3
                         : colour_type == PNG_COLOR_TYPE_GRAY_ALPHA ? 2
                                                                    : 1;
    const int bytes_per_sample = bit_depth == 16 ? 2 : 1;
    const std::size_t row_bytes =
        (static_cast<std::size_t>(width * channels * bit_depth) + 7) / 8;
    std::vector<std::vector<uint8_t>> rows(static_cast<std::size_t>(height),
                                           std::vector<uint8_t>(row_bytes + 8, 0));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t v = samples[static_cast<std::size_t>(y * width + x)];
            auto& row = rows[static_cast<std::size_t>(y)];
            if (bit_depth < 8) {
                int shifted = v >> (8 - bit_depth);
                if (colour_type == PNG_COLOR_TYPE_PALETTE)
                    shifted = v ? 1 : 0;
                int bit = x * bit_depth;
                row[static_cast<std::size_t>(bit / 8)] |=
                    static_cast<uint8_t>(shifted << (8 - bit_depth - bit % 8));
            } else {
                for (int c = 0; c < channels; ++c) {
                    std::size_t at = static_cast<std::size_t>((x * channels + c) * bytes_per_sample);
                    uint8_t value = (colour_type == PNG_COLOR_TYPE_GRAY_ALPHA && c == 1) ? 255 : v;
                    row[at] = value;
                    if (bytes_per_sample == 2)
                        row[at + 1] = 0x5A;  // a low byte the reader must drop
                }
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& r : rows)
        pointers.push_back(r.data());
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    bool ok = encode_steps(png, info, &out, width, height, bit_depth, colour_type, pointers.data(),
                           with_trns);
    png_destroy_write_struct(&png, &info);
    if (!ok)
        throw std::runtime_error("test PNG could not be encoded");
    return out;
}
