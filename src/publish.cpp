#include "publish.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "process.h"

namespace {

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR && !interrupt_signal())
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write_file(const std::string& path, const std::string& bytes) {
    // Created like any file (0666 less the umask), so a web server can read it.
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, bytes);
    return close(fd) == 0 && ok;
}

}  // namespace

bool publish_to_stdout(const std::string& bytes) {
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    return std::fflush(stdout) == 0 && ok && !std::ferror(stdout) && !interrupt_signal();
}

bool publish_files(const std::vector<image_file>& files) {
    for (const image_file& f : files) {
        if (!write_file(f.temporary, f.bytes) || interrupt_signal())
            return false;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (interrupt_signal() ||
            std::rename(files[i].temporary.c_str(), files[i].target.c_str()) != 0) {
            for (std::size_t k = 0; k < i; ++k)
                unlink(files[k].target.c_str());
            return false;
        }
    }
    return true;
}
