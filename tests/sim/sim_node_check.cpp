// The simulator's interrupt node driven as a program drives the kernel's (the checks of
// tests/guest/uio_check.c, for the simulated board), run under korvic_sim by e2e_test.cpp.
// Its events come from the board's --ext-signal USR1; one is consumed by a load of the
// external event register (0x174) through a window of the board.
//
//   sim_node_check CHECK    CHECK: idle, wake, masked, errors, processes, virtual. Prints
//                           what it saw; exit status 1 on a fault.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "timecodec.h"

namespace {

constexpr const char *kNode = "/dev/korvic_sim/uio";

[[noreturn]] void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::printf("FAULT: ");
    std::vprintf(fmt, ap);
    std::printf("\n");
    va_end(ap);
    std::exit(1);
}

int open_node(int flags) {
    const int fd = open(kNode, O_RDWR | O_CLOEXEC | flags);
    if (fd < 0)
        die("open %s: %s", kNode, std::strerror(errno));
    return fd;
}

void arm(int fd) {
    const std::int32_t one = 1;
    if (write(fd, &one, 4) != 4)
        die("write(1): %s", std::strerror(errno));
}

bool woken(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, ms);
    if (n < 0)
        die("poll: %s", std::strerror(errno));
    return n > 0;
}

std::int32_t count_of(int fd) {
    std::int32_t count = 0;
    if (read(fd, &count, 4) != 4)
        die("read: %s", std::strerror(errno));
    return count;
}

volatile std::uint32_t *board() {
    const int fd = open("/dev/korvic_sim/board", O_RDWR | O_CLOEXEC);
    void *m = fd >= 0 ? mmap(nullptr, 512, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (m == MAP_FAILED)
        die("the board's window: %s", std::strerror(errno));
    return static_cast<volatile std::uint32_t *>(m);
}

// One external event, on the board's input (--ext-signal USR1).
void event() {
    raise(SIGUSR1);
}

void expect_errno(const char *what, long result, int want) {
    if (result != -1 || errno != want)
        die("%s: %ld (%s), not -1 with %s", what, result, std::strerror(errno),
            std::strerror(want));
    std::printf("%s: %s\n", what, std::strerror(want));
}

extern "C" void on_alarm(int) {}

// The event woke a waiter on the node, and its count is one more than `before`.
std::int32_t expect_wake(int fd, std::int32_t before, const char *what) {
    if (!woken(fd, 5000))
        die("%s: no wake within 5 s", what);
    const std::int32_t count = count_of(fd);
    if (count != before + 1)
        die("%s: count %d after %d", what, count, before);
    std::printf("%s: woken, count +1\n", what);
    return count;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    const char *check = argv[1];
    volatile std::uint32_t *w = board();
    (void)w[0x174 / 4];  // no event pending to begin with
    const int fd = open_node(0);
    // A fresh open has nothing to read: its count starts at the board's.
    const int probe = open_node(O_NONBLOCK);
    std::int32_t count = 0;
    if (read(probe, &count, 4) != -1 || errno != EAGAIN)
        die("a fresh open is readable");
    close(probe);

    if (std::strcmp(check, "idle") == 0) {
        arm(fd);
        if (woken(fd, 300))
            die("woke with nothing raised");
        std::printf("armed, nothing raised: poll timed out after 300 ms\n");
    } else if (std::strcmp(check, "wake") == 0) {
        arm(fd);
        event();
        expect_wake(fd, 0, "event");  // the run's first interrupt
        const std::uint32_t status = w[0xFC / 4];
        std::printf("status bit 10 (external event) %s\n",
                    (status & 0x400u) != 0 ? "set" : "clear");
    } else if (std::strcmp(check, "masked") == 0) {
        arm(fd);
        event();
        count = expect_wake(fd, 0, "event");
        event();  // input 2 is masked by the handler: no wake
        if (woken(fd, 300))
            die("woke while masked");
        std::printf("event while masked: poll timed out after 300 ms\n");
        arm(fd);  // the event is not read yet: input 2 stays masked
        if (woken(fd, 300))
            die("woke when re-armed with the event unread");
        std::printf("re-armed, event unread: poll timed out after 300 ms\n");
        (void)w[0x174 / 4];
        arm(fd);
        event();
        expect_wake(fd, count, "event read, re-armed, event");
    } else if (std::strcmp(check, "errors") == 0) {
        char buf[8] = {};
        const std::int32_t two = 2, minus = -1;
        expect_errno("read of 8 bytes", read(fd, buf, 8), EINVAL);
        expect_errno("read of 2 bytes", read(fd, buf, 2), EINVAL);
        expect_errno("write of 8 bytes", write(fd, buf, 8), EINVAL);
        expect_errno("write of 2", write(fd, &two, 4), EINVAL);
        expect_errno("write of -1", write(fd, &minus, 4), EINVAL);
        const int nb = open_node(O_NONBLOCK);
        expect_errno("non-blocking read, no event", read(nb, buf, 4), EAGAIN);
        close(nb);
        errno = 0;
        const void *m = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
        expect_errno("mmap", m == MAP_FAILED ? -1 : 0, ENODEV);
        struct sigaction sa {};
        sa.sa_handler = on_alarm;  // no SA_RESTART
        sigaction(SIGALRM, &sa, nullptr);
        itimerval t{};
        t.it_value.tv_usec = 200000;
        setitimer(ITIMER_REAL, &t, nullptr);
        expect_errno("blocking read, SIGALRM after 200 ms", read(fd, buf, 4), EINTR);
    } else if (std::strcmp(check, "processes") == 0) {
        // A child with an open of its own waits in read(); the parent's event wakes both.
        arm(fd);
        const pid_t child = fork();
        if (child == 0) {
            const int own = open_node(0);
            std::int32_t c = 0;
            _exit(read(own, &c, 4) == 4 && c == 1 ? 0 : 1);
        }
        usleep(300000);  // the child is asleep in read() by now
        event();
        expect_wake(fd, 0, "parent");
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            die("the child's read was not woken with count 1 (status %d)", status);
        std::printf("child: woken, count 1\n");
    } else if (std::strcmp(check, "virtual") == 0) {
        // The wait moves the virtual clock to the next periodic event: it comes at once, at
        // its own instant.
        arm(fd);
        timespec before{}, after{};
        clock_gettime(CLOCK_MONOTONIC, &before);
        expect_wake(fd, 0, "wait");
        clock_gettime(CLOCK_MONOTONIC, &after);
        if (after.tv_sec - before.tv_sec > 1)
            die("the wait took the host's time");
        const korvic::codec::Words words{w[0x174 / 4], w[0x178 / 4], w[0x17C / 4]};
        const korvic_broken_down t = korvic::codec::decode<korvic::codec::kExternalEvent>(words);
        std::printf("event at %02d:%02d:%02d.%03d%03d\n", t.hours, t.minutes, t.seconds,
                    t.milliseconds, t.microseconds);
    } else {
        die("no check %s", check);
    }
    return 0;
}
