#include "work_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

const char work_file_stem[] = "formula";

std::string path_in(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string work_file(const work_area& area, const char* suffix) {
    return path_in(area.private_dir, std::string(work_file_stem) + suffix);
}

private_directory::~private_directory() {
    if (!path.empty())
        remove_tree(path);
}

step_failure make_private_directory(const std::string& parent, private_directory& dir) {
    std::string name = path_in(parent, ".mathrast-XXXXXX");
    if (!mkdtemp(name.data()))  // mode 0700
        return failure{std::string("\nCannot make a work directory in the output directory: ") +
                       std::strerror(errno) + "\n"};
    dir.path = name;
    return std::nullopt;
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

std::string keep_as(const work_area& area, const char* suffix) {
    const std::string kept = area.work_base + suffix;
    const std::string target = path_in(area.absolute_work_dir, kept);
    if (std::rename(work_file(area, suffix).c_str(), target.c_str()) != 0 && errno != ENOENT)
        return "Cannot keep '" + kept + "': " + std::strerror(errno) + "\n";
    return {};
}

std::string read_work_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : std::string();
}
