#include "pty_session.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace korvic::testing {

namespace {

// Canonical input with signals, no echo, output bytes untouched.
termios terminal_settings() {
    termios t{};
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_cflag = CS8 | CREAD | CLOCAL;
    t.c_lflag = ICANON | ISIG;
    for (cc_t &c : t.c_cc)
        c = _POSIX_VDISABLE;
    t.c_cc[VINTR] = 0x03;
    // VMIN and VTIME are left alone: canonical input does not use them, and on SPARC they
    // share their slots with VEOF and VEOL.
    t.c_cc[VEOF] = 0x04;
    cfsetispeed(&t, B38400);
    cfsetospeed(&t, B38400);
    return t;
}

std::vector<std::string> merged_environment(const std::vector<std::string> &extra) {
    std::map<std::string, std::string> vars;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        vars[entry.substr(0, entry.find('='))] = entry;
    }
    for (const std::string &entry : extra)
        vars[entry.substr(0, entry.find('='))] = entry;
    std::vector<std::string> out;
    for (auto &[name, entry] : vars)
        out.push_back(entry);
    return out;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> p;
    for (std::string &s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

PtySession::PtySession(const std::vector<std::string> &argv, const std::string &workdir,
                       const std::vector<std::string> &env) {
    // Everything the child needs is built before the fork.
    std::vector<std::string> args = argv;
    std::vector<std::string> environment = merged_environment(env);
    std::vector<char *> arg_ptrs = pointers(args);
    std::vector<char *> env_ptrs = pointers(environment);

    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");

    termios settings = terminal_settings();
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    pid_ = forkpty(&master_, nullptr, &settings, &size);
    if (pid_ < 0)
        throw std::runtime_error("forkpty failed");
    if (pid_ == 0) {
        dup2(err_pipe[1], STDERR_FILENO);
        if (chdir(workdir.c_str()) != 0)
            _exit(126);
        execve(arg_ptrs[0], arg_ptrs.data(), env_ptrs.data());
        _exit(127);
    }
    close(err_pipe[1]);
    err_fd_ = err_pipe[0];
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, fcntl(err_fd_, F_GETFL) | O_NONBLOCK);
}

PtySession::~PtySession() {
    reap(true);
    if (master_ >= 0)
        close(master_);
    if (err_fd_ >= 0)
        close(err_fd_);
}

void PtySession::send(std::string_view keys) {
    while (!keys.empty()) {
        const ssize_t n = write(master_, keys.data(), keys.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                // The terminal's input queue is full: let the program read.
                pump(Clock::now() + std::chrono::milliseconds(10));
                continue;
            }
            return;  // the program has gone; what it printed is still in the output
        }
        keys.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

// Whether sig is pending for pid, process-wide or for its main thread (Linux /proc).
bool signal_pending(pid_t pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool pending = false;
    while (std::getline(status, line)) {
        if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
            const std::uint64_t mask = std::stoull(line.substr(7), nullptr, 16);
            pending = pending || ((mask >> (sig - 1)) & 1u) != 0;
        }
    }
    return pending;
}

}  // namespace

bool PtySession::interrupt_taken(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    if (kill(pid_, SIGINT) != 0)
        return false;
    while (signal_pending(pid_, SIGINT)) {
        if (Clock::now() >= deadline)
            return false;
        pump(Clock::now() + std::chrono::milliseconds(2));
    }
    return true;
}

void PtySession::hang_up() {
    if (master_ >= 0)
        close(master_);
    master_ = -1;
    terminal_closed_ = true;
}

bool PtySession::pump(Clock::time_point deadline) {
    if (terminal_closed_ && err_fd_ < 0)
        return false;
    const auto now = Clock::now();
    const auto left = deadline > now
                          ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                          : std::chrono::milliseconds(0);
    pollfd fds[2] = {{terminal_closed_ ? -1 : master_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready <= 0)
        return ready < 0 && errno == EINTR;
    char buf[8192];
    if (fds[0].revents != 0) {
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0)
            out_.append(buf, static_cast<std::size_t>(n));
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            terminal_closed_ = true;  // EIO: every holder of the terminal has closed it
    }
    if (fds[1].revents != 0) {
        const ssize_t n = read(err_fd_, buf, sizeof buf);
        if (n > 0) {
            err_.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(err_fd_);
            err_fd_ = -1;
        }
    }
    return true;
}

void PtySession::collect_for(std::chrono::milliseconds duration) {
    const auto deadline = Clock::now() + duration;
    while (Clock::now() < deadline && (pump(deadline) || !terminal_closed_)) {
    }
    cursor_ = out_.size();
}

bool PtySession::wait_for(std::string_view text, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const std::size_t at = out_.find(text, cursor_);
        if (at != std::string::npos) {
            cursor_ = at + text.size();
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        if (!pump(deadline) && terminal_closed_)
            return false;
    }
}

bool PtySession::wait_for_count(std::string_view text, std::size_t n,
                                std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (std::size_t i = 0; i < n; ++i) {
        const auto now = Clock::now();
        const auto left =
            deadline > now ? std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                           : std::chrono::milliseconds(0);
        if (!wait_for(text, left))
            return false;
    }
    return true;
}

int PtySession::wait_exit(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!exited_) {
        const pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            break;
        }
        if (Clock::now() >= deadline) {
            reap(true);
            return kTimedOut;
        }
        if (!pump(std::min(deadline, Clock::now() + std::chrono::milliseconds(20))))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Collect what is still in flight.
    while (pump(Clock::now() + std::chrono::milliseconds(50))) {
    }
    if (WIFEXITED(status_))
        return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_))
        return kSignalled + WTERMSIG(status_);
    return kTimedOut;
}

void PtySession::reap(bool kill_first) {
    if (exited_ || pid_ <= 0)
        return;
    if (kill_first)
        kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    exited_ = true;
}

}  // namespace korvic::testing
