// The UIO node of korvic_uio's test backend, driven from user space in the booted guest of
// .ci/stage-90-kmod.sh (tests/guest/kmod.sh runs it): QEMU's edu device bound through PCI
// 2.3 INTx masking, its interrupt raised through map 0 of the node (edu: 0x60 raises, 0x64
// acknowledges, 0x00 identifies, 0x04 inverts). Built static on the host.
//
//   uio_check NODE CHECK [N]    CHECK: maps, idle, wake, masked, errors, trips (N round
//                               trips), arm, pending. Prints what it saw; exit status 1 on a
//                               fault.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { EDU_ID = 0x00, EDU_LIVENESS = 0x04, EDU_RAISE = 0x60, EDU_ACK = 0x64 };
enum { COMMAND_INTX_DISABLE = 1u << 10, STATUS_INTERRUPT = 1u << (16 + 3) };

static const char *node;
static char sysdir[256];  // /sys/class/uio/uioN
static volatile uint32_t *edu;

static void die(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    printf("FAULT: ");
    vprintf(fmt, ap);
    printf("\n");
    va_end(ap);
    exit(1);
}

static double now_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

static int open_node(int flags) {
    int fd = open(node, O_RDWR | flags);
    if (fd < 0)
        die("open %s: %s", node, strerror(errno));
    return fd;
}

// The device's command (low half) and status (high half) from its PCI configuration space.
static uint32_t cmd_status(void) {
    char path[300];
    uint32_t v;
    snprintf(path, sizeof path, "%s/device/config", sysdir);
    int fd = open(path, O_RDONLY);
    if (fd < 0 || pread(fd, &v, 4, 4) != 4)
        die("%s: %s", path, strerror(errno));
    close(fd);
    return v;
}

static void map_edu(int fd) {
    edu = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (edu == MAP_FAILED)
        die("mmap of map 0: %s", strerror(errno));
}

static void reg_write(uint32_t offset, uint32_t v) {
    edu[offset / 4] = v;
}

static void arm(int fd, int32_t on) {
    if (write(fd, &on, 4) != 4)
        die("write(%d): %s", on, strerror(errno));
}

// poll() for POLLIN: 1 when it came within ms, 0 when not.
static int wait_event(int fd, int ms) {
    struct pollfd p = {.fd = fd, .events = POLLIN};
    int n = poll(&p, 1, ms);
    if (n < 0)
        die("poll: %s", strerror(errno));
    return n;
}

static int32_t read_count(int fd) {
    int32_t count;
    ssize_t n = read(fd, &count, 4);
    if (n != 4)
        die("read: %zd, %s", n, strerror(errno));
    return count;
}

// Each named fault: the call, its result, the errno it must give.
static void expect_errno(const char *what, ssize_t result, int want) {
    if (result != -1 || errno != want) {
        die("%s: %zd (%s), not -1 with %s", what, result, strerror(errno), strerror(want));
    }
    printf("%s: %s\n", what, strerror(want));
}

static void on_alarm(int sig) {
    (void)sig;
}

// One round trip: armed, raised, woken, counted, acknowledged. The latency in ms.
static double round_trip(int fd, int32_t *count) {
    arm(fd, 1);
    double start = now_ms();
    reg_write(EDU_RAISE, 1);
    if (!wait_event(fd, 2000))
        die("no wake within 2 s of a raised interrupt");
    double latency = now_ms() - start;
    int32_t c = read_count(fd);
    if (c != *count + 1)
        die("read gives count %d after %d: not one more", c, *count);
    *count = c;
    if (!(cmd_status() & COMMAND_INTX_DISABLE))
        die("the handler left INTx unmasked");
    reg_write(EDU_ACK, 1);
    return latency;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: uio_check NODE CHECK [N]\n");
        return 2;
    }
    node = argv[1];
    const char *check = argv[2];
    snprintf(sysdir, sizeof sysdir, "/sys/class/uio/%s", strrchr(node, '/') + 1);
    int fd = open_node(0);
    map_edu(fd);
    int32_t count = 0;
    // The count so far: a raised, counted interrupt, or the count from sysfs.
    char path[300];
    snprintf(path, sizeof path, "%s/event", sysdir);
    FILE *f = fopen(path, "r");
    if (f == NULL || fscanf(f, "%d", &count) != 1)
        die("%s: unreadable", path);
    fclose(f);

    if (strcmp(check, "maps") == 0) {
        uint32_t id = edu[EDU_ID / 4];
        reg_write(EDU_LIVENESS, 0x12345678u);
        uint32_t inverted = edu[EDU_LIVENESS / 4];
        printf("map 0: identification 0x%08x, liveness 0x12345678 -> 0x%08x\n", id, inverted);
        if ((id & 0xffffu) != 0x00edu || inverted != ~0x12345678u)
            die("not edu's registers");
    } else if (strcmp(check, "idle") == 0) {
        arm(fd, 1);
        if (wait_event(fd, 500))
            die("poll woke with no interrupt raised");
        printf("armed, nothing raised: poll timed out after 500 ms\n");
    } else if (strcmp(check, "wake") == 0) {
        double ms = round_trip(fd, &count);
        printf("raised: poll woke after %.2f ms, read gives count %d, INTx masked by the handler\n",
               ms, count);
    } else if (strcmp(check, "masked") == 0) {
        (void)round_trip(fd, &count);  // leaves INTx masked by the handler
        reg_write(EDU_RAISE, 1);
        if (wait_event(fd, 500))
            die("woke while masked");
        if (!(cmd_status() & STATUS_INTERRUPT))
            die("edu does not show its interrupt pending");
        printf("raised while masked: pending, poll timed out after 500 ms\n");
        double start = now_ms();
        arm(fd, 1);
        if (!wait_event(fd, 2000))
            die("re-armed with the interrupt pending: no wake");
        printf("re-armed: poll woke after %.2f ms\n", now_ms() - start);
        int32_t c = read_count(fd);
        if (c != count + 1)
            die("read gives count %d after %d", c, count);
        printf("read gives count %d\n", c);
        reg_write(EDU_ACK, 1);
    } else if (strcmp(check, "errors") == 0) {
        char buf[8] = {0};
        int32_t two = 2, minus = -1;
        expect_errno("read of 8 bytes", read(fd, buf, 8), EINVAL);
        expect_errno("read of 2 bytes", read(fd, buf, 2), EINVAL);
        expect_errno("write of 8 bytes", write(fd, buf, 8), EINVAL);
        expect_errno("write of 2", write(fd, &two, 4), EINVAL);
        expect_errno("write of -1", write(fd, &minus, 4), EINVAL);
        int nb = open_node(O_NONBLOCK);
        expect_errno("non-blocking read, no event", read(nb, buf, 4), EAGAIN);
        close(nb);
        struct sigaction sa = {.sa_handler = on_alarm};  // no SA_RESTART
        sigaction(SIGALRM, &sa, NULL);
        struct itimerval t = {.it_value = {.tv_usec = 200000}};
        setitimer(ITIMER_REAL, &t, NULL);
        expect_errno("blocking read, SIGALRM after 200 ms", read(fd, buf, 4), EINTR);
    } else if (strcmp(check, "trips") == 0) {
        int n = argc > 3 ? atoi(argv[3]) : 200;
        int32_t first = count;
        double worst = 0, start = now_ms();
        for (int i = 0; i < n; i++) {
            double ms = round_trip(fd, &count);
            worst = ms > worst ? ms : worst;
        }
        printf("%d round trips in %.0f ms (worst wake %.2f ms): count %d -> %d\n", n,
               now_ms() - start, worst, first, count);
    } else if (strcmp(check, "arm") == 0) {
        arm(fd, 1);
        printf("armed: command/status 0x%08x\n", cmd_status());
    } else if (strcmp(check, "pending") == 0) {
        arm(fd, 1);
        reg_write(EDU_RAISE, 1);
        if (!wait_event(fd, 2000))
            die("no wake");
        printf("raised and left unacknowledged: count %d, command/status 0x%08x\n", read_count(fd),
               cmd_status());
    } else {
        die("no check %s", check);
    }
    return 0;
}
