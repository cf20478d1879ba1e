// A small program that links korvic_api, for running under korvic_sim in the end-to-end
// tests. Usage: sim_client position | attach | time | time-then-_exit | times N | event |
// files PATH | reuse PATH | reattach COUNT | preset YYYY DDD hh mm ss | series N |
// series-for MS | bracket PATH N | size PATH | board-series N [WAIT_MS] | board-samples N
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "calendar.h"
#include "korvic/board.hpp"
#include "korvic_api.h"
#include "timecodec.h"

namespace {

int attach() {
    if (init_847() != 0) {
        std::puts("init_847 failed");
        return 1;
    }
    return 0;
}

// Non-device files open, read and map as usual with the preload library in place.
int files(const char *path) {
    char buf[64] = {};
    const int fd = open(path, O_RDONLY);
    if (fd < 0 || read(fd, buf, sizeof buf - 1) <= 0)
        return 1;
    void *m = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
    if (m == MAP_FAILED || std::memcmp(m, buf, std::strlen(buf)) != 0)
        return 1;
    munmap(m, 4096);
    close(fd);
    const int fd2 = openat(AT_FDCWD, path, O_RDONLY);
    if (fd2 < 0)
        return 1;
    close(fd2);
    std::FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return 1;
    std::fclose(f);
    std::printf("read: %s", buf);
    return 0;
}

// A descriptor of the board device, once closed, is an ordinary number again: a file that
// is then opened under the same number maps as that file.
int reuse(const char *path) {
    const int dev = open(mem_path, O_RDWR);
    if (dev < 0 || close(dev) != 0)
        return 1;
    const int file = open(path, O_RDONLY);
    if (file != dev) {
        std::printf("descriptor %d, not %d\n", file, dev);
        return 1;
    }
    char buf[64] = {};
    if (read(file, buf, sizeof buf - 1) <= 0)
        return 1;
    void *m = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, file, 0);
    if (m == MAP_FAILED) {
        std::perror("mmap");
        return 1;
    }
    std::printf("mapped: %.*s", static_cast<int>(std::strlen(buf)), static_cast<const char *>(m));
    munmap(m, 4096);
    close(file);
    return 0;
}

// init_847 again and again in one process, then one time read.
int reattach(int count) {
    for (int i = 1; i < count; ++i) {
        if (init_847() != 0) {
            std::printf("init_847 number %d failed\n", i + 1);
            return 1;
        }
    }
    return 0;
}

std::int64_t realtime_ns() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

std::int64_t board_us(const korvic_broken_down &t) {
    return korvic::sim::to_us(
        {t.years, t.days, t.hours, t.minutes, t.seconds, t.milliseconds, t.microseconds});
}

// N snapshot readings through the library, one line each: the host's UTC time just before
// the reading and the board's, in microseconds since 1970.
int series(long n) {
    for (; n > 0; --n) {
        const std::int64_t host = realtime_ns() / 1000;
        korvic_broken_down t{};
        snapshot_time(KORVIC_MODE_BROKEN_DOWN, &t);
        std::printf("%" PRId64 " %" PRId64 "\n", host, board_us(t));
    }
    return 0;
}

// Readings as series() gives them, for MS milliseconds of the host's monotonic clock.
int series_for(long ms) {
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        series(1);
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1'000'000 < ms);
    return 0;
}

// N readings of the board at PATH through a window of its own, each bracketed by the
// host's UTC clock: read before the three strobes and after the first load of the latched
// time. One line each: before and after in nanoseconds, the board's time in microseconds.
int bracket(const char *path, long n) {
    const int fd = open(path, O_RDWR);
    void *m = fd >= 0 ? mmap(nullptr, 512, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    if (m == MAP_FAILED) {
        std::perror(path);
        return 1;
    }
    volatile auto *w = static_cast<volatile std::uint32_t *>(m);
    for (; n > 0; --n) {
        const std::int64_t before = realtime_ns();
        for (int i = 0; i < 3; ++i)
            w[0xFC / 4] = 0xFFFFFFFFu;
        const std::uint32_t w0 = w[0xFC / 4];
        const std::int64_t after = realtime_ns();
        const korvic::codec::Words words{w0, w[0x100 / 4], w[0x104 / 4]};
        const korvic_broken_down t = korvic::codec::decode<korvic::codec::kTimeStatus>(words);
        std::printf("%" PRId64 " %" PRId64 " %" PRId64 "\n", before, after, board_us(t));
    }
    munmap(m, 512);
    close(fd);
    return 0;
}

// series(), through a korvic::Board on ./korvic_cfg.dat: N readings of now(), each waiting
// up to WAIT_MS for the board lock (default: the library's). A reading that finds the lock
// busy is said on standard error, and the status is 1.
int board_series(long n, const char *wait_ms) {
    try {
        korvic::Settings settings = korvic::read_settings("korvic_cfg.dat");
        if (wait_ms != nullptr)
            settings.lock_wait = std::chrono::milliseconds{std::strtol(wait_ms, nullptr, 10)};
        korvic::Board board(settings);
        for (; n > 0; --n) {
            const std::int64_t host = realtime_ns() / 1000;
            const korvic::utc_time t = board.now();
            std::printf("%" PRId64 " %" PRId64 "\n", host,
                        static_cast<std::int64_t>(t.time_since_epoch().count()));
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

// N samples through a korvic::Board on ./korvic_cfg.dat, one line each: the board's time in
// microseconds and the status word latched with it.
int board_samples(long n) {
    try {
        korvic::Board board(korvic::read_settings("korvic_cfg.dat"));
        for (; n > 0; --n) {
            const korvic::Sample s = board.sample();
            std::printf("%" PRId64 " %" PRIu32 "\n",
                        static_cast<std::int64_t>(s.board.time_since_epoch().count()), s.status);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    const char *what = argv[1];
    if (std::strcmp(what, "files") == 0)
        return argc > 2 ? files(argv[2]) : 2;
    if (std::strcmp(what, "bracket") == 0)
        return argc > 3 ? bracket(argv[2], std::strtol(argv[3], nullptr, 10)) : 2;
    if (std::strcmp(what, "board-series") == 0)
        return argc > 2
                   ? board_series(std::strtol(argv[2], nullptr, 10), argc > 3 ? argv[3] : nullptr)
                   : 2;
    if (std::strcmp(what, "board-samples") == 0)
        return argc > 2 ? board_samples(std::strtol(argv[2], nullptr, 10)) : 2;
    if (std::strcmp(what, "size") == 0 && argc > 2) {
        // The size of a device file, as a size check before mapping finds it.
        struct stat st {};
        const int fd = open(argv[2], O_RDWR);
        if (fd < 0 || fstat(fd, &st) != 0)
            return 1;
        std::printf("%s %lld\n", argv[2], static_cast<long long>(st.st_size));
        close(fd);
        return 0;
    }
    if (attach() != 0)
        return 1;
    if (std::strcmp(what, "reuse") == 0)
        return argc > 2 ? reuse(argv[2]) : 2;
    if (std::strcmp(what, "reattach") == 0) {
        if (argc < 3 || reattach(std::atoi(argv[2])) != 0)
            return 1;
        what = "time";
    }
    if (std::strcmp(what, "position") == 0) {
        uint32_t w[4] = {};
        read_position_freeze_reg(w);
        std::printf("position %08x %08x %08x %08x\n", w[0], w[1], w[2], w[3]);
    } else if (std::strcmp(what, "time") == 0 || std::strcmp(what, "time-then-_exit") == 0) {
        int32_t t[7] = {};
        snapshot_time(3, t);
        std::printf("time %04d-%03d %02d:%02d:%02d.%03d%03d\n", t[6], t[5], t[4], t[3], t[2], t[1],
                    t[0]);
    } else if (std::strcmp(what, "times") == 0 && argc > 2) {
        // Many snapshot reads, for traces of processes running at once.
        int32_t t[7] = {};
        for (long n = std::strtol(argv[2], nullptr, 10); n > 0; --n)
            snapshot_time(3, t);
    } else if (std::strcmp(what, "series") == 0 && argc > 2) {
        series(std::strtol(argv[2], nullptr, 10));
    } else if (std::strcmp(what, "series-for") == 0 && argc > 2) {
        series_for(std::strtol(argv[2], nullptr, 10));
    } else if (std::strcmp(what, "preset") == 0 && argc > 6) {
        korvic_broken_down t{};
        t.years = std::atoi(argv[2]);
        t.days = std::atoi(argv[3]);
        t.hours = std::atoi(argv[4]);
        t.minutes = std::atoi(argv[5]);
        t.seconds = std::atoi(argv[6]);
        if (set_new_time(KORVIC_MODE_BROKEN_DOWN, &t) != 0) {
            std::puts("set_new_time failed");
            return 1;
        }
    } else if (std::strcmp(what, "event") == 0) {
        // Asks the simulator (--ext-signal USR1) for an external event, then reads it.
        raise(SIGUSR1);
        int32_t t[7] = {};
        read_external_event_reg(3, t);
        std::printf("event %04d-%03d %02d:%02d:%02d.%03d%03d\n", t[6], t[5], t[4], t[3], t[2], t[1],
                    t[0]);
    } else if (std::strcmp(what, "attach") != 0) {
        return 2;
    }
    close_847();
    if (std::strcmp(what, "time-then-_exit") == 0) {
        std::fflush(stdout);
        _exit(0);  // past the exit handlers, as a shell or a forked child ends
    }
    return 0;
}
