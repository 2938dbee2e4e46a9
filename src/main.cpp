// mathrast: one LaTeX maths formula on stdin to an antialiased image.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>

#include "batch_run.h"
#include "command_line.h"
#include "lone_run.h"
#include "process.h"

int main(int argc, char* argv[]) {
    // Closed standard descriptors would be taken by our own files and then
    // handed to children as their stdin, stdout or stderr.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0)
            open("/dev/null", O_RDWR);
    }
    prepare_process_signals();
    // Unwinding on a failed allocation still runs the owners' clean-up, so the
    // private work directory goes too.
    try {
        parse_result parsed = parse_command_line(argc, argv);
        std::fputs(parsed.out.c_str(), stdout);
        std::fputs(parsed.err.c_str(), stderr);
        if (!parsed.settings)
            return parsed.exit_status;
        if (parsed.settings->batch)
            return run_batch(*parsed.settings, argv[0]);
        return run_job(*parsed.settings);
    } catch (const std::bad_alloc&) {
        std::fputs("\nOut of memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "\nInternal error: %s\n", e.what());
    }
    return 1;
}
