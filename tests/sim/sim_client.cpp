// A small program that links korvic_api, for running under korvic_sim in the end-to-end
// tests. Usage: sim_client position | attach | time | times N | event | files PATH |
// reuse PATH | reattach COUNT
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvic_api.h"

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

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return 2;
    const char *what = argv[1];
    if (std::strcmp(what, "files") == 0)
        return argc > 2 ? files(argv[2]) : 2;
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
    } else if (std::strcmp(what, "time") == 0) {
        int32_t t[7] = {};
        snapshot_time(3, t);
        std::printf("time %04d-%03d %02d:%02d:%02d.%03d%03d\n", t[6], t[5], t[4], t[3], t[2], t[1],
                    t[0]);
    } else if (std::strcmp(what, "times") == 0 && argc > 2) {
        // Many snapshot reads, for traces of processes running at once.
        int32_t t[7] = {};
        for (long n = std::strtol(argv[2], nullptr, 10); n > 0; --n)
            snapshot_time(3, t);
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
    return 0;
}
