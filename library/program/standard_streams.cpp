#include "standard_streams.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvic::program {

const char *standard_output_problem() {
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0)
        return "is closed";
    if ((flags & O_ACCMODE) == O_RDONLY)
        return "is open for reading only";
    return nullptr;
}

int plug_closed_standard_descriptors() {
    int plugged = 0;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number is `fd` itself: the ones below it are open by now.
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) < 0)
            return -1;
        plugged |= 1 << fd;
    }
    return plugged;
}

bool standard_descriptors_ready(const char *program) {
    if (const char *problem = standard_output_problem()) {
        std::fprintf(stderr, "%s: standard output %s\n", program, problem);
        return false;
    }
    if (plug_closed_standard_descriptors() < 0) {
        std::fprintf(stderr, "%s: /dev/null for a closed standard descriptor: %s\n", program,
                     std::strerror(errno));
        return false;
    }
    return true;
}

namespace {

bool output_failed(const char *program, int error) {
    // 0: an earlier write failed, and lost its data and its reason with it.
    std::fprintf(stderr, "%s: standard output: %s\n", program,
                 error != 0 ? std::strerror(error) : "a write failed, output was lost");
    return false;
}

}  // namespace

bool flush_standard_output(const char *program) {
    errno = 0;
    if (std::fflush(stdout) != 0)
        return output_failed(program, errno);
    return std::ferror(stdout) == 0 || output_failed(program, 0);
}

bool write_standard_output(const char *program, std::string_view text) {
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        return output_failed(program, errno);
    return flush_standard_output(program);
}

bool signal_ignored(int sig) {
    struct sigaction now {};
    return sigaction(sig, nullptr, &now) == 0 && (now.sa_flags & SA_SIGINFO) == 0 &&
           now.sa_handler == SIG_IGN;
}

}  // namespace korvic::program
