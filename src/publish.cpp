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

bool write_stdout(const std::string& bytes) {
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
    return std::fflush(stdout) == 0 && ok && !std::ferror(stdout);
}

}  // namespace

bool publish(const std::string& bytes, const std::optional<std::string>& target,
             const std::string& temporary) {
    if (!target)
        return write_stdout(bytes) && !interrupt_signal();
    return write_file(temporary, bytes) && !interrupt_signal() &&
           std::rename(temporary.c_str(), target->c_str()) == 0;
}
