// libkorvic_sim.so: put in front of a program with LD_PRELOAD, it answers for the board's
// register device and the bridge device, and for nothing else.
//
// open/openat (and their 64-bit and fortified forms) of the simulated device paths return a
// descriptor of an anonymous memory file; mmap of such a descriptor returns a trapped
// window over the board model (register device, 512 bytes) or the bridge model (128
// bytes); close and munmap release them. Every other call passes straight to the next
// definition (the C library's). Settings come from the KORVIC_SIM_* environment variables
// (see settings.h), read when a simulated device is first opened.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "settings.h"
#include "simulator.h"
#include "trace.h"
#include "trap.h"

namespace {

using korvic::sim::SimSettings;
using korvic::sim::Simulator;
using korvic::sim::TrapWindow;

// ---------------------------------------------------------------------------------------
// The next definitions of the interposed functions.
// ---------------------------------------------------------------------------------------

template <typename Fn>
Fn next(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenAt2Fn = int (*)(int, const char *, int);
using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
using MunmapFn = int (*)(void *, size_t);
using CloseFn = int (*)(int);

// Resolved by the constructor below, before the program runs; resolved on first use too, in
// case another preloaded library's constructor calls in first.
struct NextFns {
    std::atomic<OpenFn> open{nullptr}, open64{nullptr};
    std::atomic<OpenAtFn> openat{nullptr}, openat64{nullptr};
    std::atomic<Open2Fn> open_2{nullptr}, open64_2{nullptr};
    std::atomic<OpenAt2Fn> openat_2{nullptr}, openat64_2{nullptr};
    std::atomic<MmapFn> mmap{nullptr}, mmap64{nullptr};
    std::atomic<MunmapFn> munmap{nullptr};
    std::atomic<CloseFn> close{nullptr};
};
NextFns g_next;

template <typename Fn>
Fn resolve(std::atomic<Fn> &slot, const char *name) {
    Fn fn = slot.load(std::memory_order_acquire);
    if (fn == nullptr) {
        fn = next<Fn>(name);
        slot.store(fn, std::memory_order_release);
    }
    return fn;
}

#define KORVIC_NEXT(field, name) resolve(g_next.field, name)

__attribute__((constructor)) void resolve_all() {
    KORVIC_NEXT(open, "open");
    KORVIC_NEXT(open64, "open64");
    KORVIC_NEXT(openat, "openat");
    KORVIC_NEXT(openat64, "openat64");
    KORVIC_NEXT(open_2, "__open_2");
    KORVIC_NEXT(open64_2, "__open64_2");
    KORVIC_NEXT(openat_2, "__openat_2");
    KORVIC_NEXT(openat64_2, "__openat64_2");
    KORVIC_NEXT(mmap, "mmap");
    KORVIC_NEXT(mmap64, "mmap64");
    KORVIC_NEXT(munmap, "munmap");
    KORVIC_NEXT(close, "close");
}

// ---------------------------------------------------------------------------------------
// The simulated devices.
// ---------------------------------------------------------------------------------------

enum class Kind : std::uint8_t { None, Board, Bridge };

constexpr int kMaxFds = 4096;
std::atomic<Kind> g_fd_kind[kMaxFds];

struct Mapped {
    TrapWindow *window = nullptr;
};
constexpr int kMaxWindows = 8;
Mapped g_windows[kMaxWindows];
std::mutex g_mutex;

struct State {
    bool ok = false;
    SimSettings settings;
    Simulator *sim = nullptr;
};
State *g_state = nullptr;
std::once_flag g_state_once;

void say(std::string_view s) {
    std::string line = "korvic_sim: ";
    line += s;
    line += '\n';
    (void)!::write(2, line.data(), line.size());
}

// Opens a trace file for appending: the launcher has created it (and written the machine
// form's header), and every process under the launcher adds its lines to the same file.
// Set by hand, without the launcher, a missing file is created and a new machine trace gets
// its header. "-" is standard error. -1 when no trace is wanted; -2, said on standard
// error, when the file cannot be written.
int open_trace(const std::string &path, bool machine) {
    if (path.empty())
        return -1;
    if (path == "-")
        return 2;
    const int fd =
        KORVIC_NEXT(open, "open")(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    struct stat st {};
    if (ok && machine && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        ok = korvic::sim::write_machine_header(fd);
    if (!ok) {
        const int err = errno;
        if (fd >= 0)
            KORVIC_NEXT(close, "close")(fd);
        say("cannot write the trace file " + path + ": " + std::strerror(err));
        return -2;
    }
    return fd;
}

Simulator *g_signal_sim = nullptr;
void on_external_event_signal(int) {
    if (g_signal_sim != nullptr)
        g_signal_sim->board().request_external_event();
}

void init_state() {
    // Never destroyed: windows may be touched until the very end of the process.
    g_state = new State;
    std::string error;
    auto settings = korvic::sim::settings_from_env(&std::getenv, &error);
    if (!settings) {
        say("bad setting " + error);
        return;
    }
    g_state->settings = *settings;
    // A trace that was asked for and cannot be written fails the device, as a bad setting
    // does: a run whose accesses go unrecorded would look like a run without any.
    const int trace = open_trace(settings->trace_path, false);
    const int tsv = open_trace(settings->trace_tsv_path, true);
    if (trace == -2 || tsv == -2) {
        if (trace >= 0 && settings->trace_path != "-")
            KORVIC_NEXT(close, "close")(trace);
        if (tsv >= 0 && settings->trace_tsv_path != "-")
            KORVIC_NEXT(close, "close")(tsv);
        return;
    }
    g_state->sim = new Simulator(*settings, trace, tsv);
    if (settings->external_event_signal != 0) {
        g_signal_sim = g_state->sim;
        struct sigaction sa {};
        sa.sa_handler = on_external_event_signal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(settings->external_event_signal, &sa, nullptr);
    }
    g_state->ok = true;
}

// Which simulated device a path names, judged by the path text alone (the devices need
// not exist in the file system). Reads the settings on first use.
Kind device_of(const char *path) {
    if (path == nullptr)
        return Kind::None;
    const char *mem = std::getenv(korvic::sim::kEnvMemPath);
    const char *in = std::getenv(korvic::sim::kEnvIntPath);
    const std::string_view mem_path = mem && *mem ? mem : korvic::sim::kDefaultMemPath;
    const std::string_view int_path = in && *in ? in : korvic::sim::kDefaultIntPath;
    if (path == mem_path)
        return Kind::Board;
    if (path == int_path)
        return Kind::Bridge;
    return Kind::None;
}

int open_device(Kind kind, int flags) {
    std::call_once(g_state_once, init_state);
    if (!g_state->ok) {
        errno = EINVAL;
        return -1;
    }
    if ((flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != O_RDONLY) {
        errno = EACCES;
        return -1;
    }
    const int fd = memfd_create(kind == Kind::Board ? "korvic_sim_board" : "korvic_sim_bridge",
                                (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0u);
    if (fd < 0)
        return -1;
    if (fd >= kMaxFds) {
        KORVIC_NEXT(close, "close")(fd);
        errno = EMFILE;
        return -1;
    }
    g_fd_kind[fd].store(kind);
    return fd;
}

Kind kind_of_fd(int fd) {
    return fd >= 0 && fd < kMaxFds ? g_fd_kind[fd].load() : Kind::None;
}

void *map_device(Kind kind, size_t len, int flags, off_t offset) {
    if (offset != 0 || (flags & MAP_FIXED) || len == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    const std::uint32_t limit =
        kind == Kind::Board ? korvic::sim::kBoardWindowBytes : korvic::sim::kBridgeWindowBytes;
    const size_t bytes = len < limit ? len : limit;
    std::lock_guard<std::mutex> lock(g_mutex);
    for (Mapped &m : g_windows) {
        if (m.window != nullptr)
            continue;
        try {
            korvic::sim::MmioTarget &target =
                kind == Kind::Board ? g_state->sim->board_target() : g_state->sim->bridge_target();
            m.window = new TrapWindow(target, bytes);
        } catch (...) {
            errno = ENOMEM;
            return MAP_FAILED;
        }
        return m.window->base();
    }
    errno = ENOMEM;
    return MAP_FAILED;
}

// True when `addr` was a simulated window (now released). The window is deleted outside the
// lock: its destructor unmaps through munmap, which comes back here.
bool unmap_device(const void *addr) {
    TrapWindow *found = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (Mapped &m : g_windows) {
            if (m.window != nullptr && m.window->base() == addr) {
                found = m.window;
                m.window = nullptr;
                break;
            }
        }
    }
    delete found;
    return found != nullptr;
}

bool wants_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

extern "C" {

// The C library declares these with reserved parameter names; ours are plain.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(open, "open")(path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(open64, "open64")(path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(openat, "openat")(dirfd, path, flags, mode);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
__attribute__((visibility("default"))) int openat64(int dirfd, const char *path, int flags, ...) {
    mode_t mode = 0;
    if (wants_mode(flags)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(openat64, "openat64")(dirfd, path, flags, mode);
}

// The fortified forms that _FORTIFY_SOURCE builds call in place of open/openat.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __open_2(const char *path, int flags) {
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(open_2, "__open_2")(path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __open64_2(const char *path, int flags) {
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(open64_2, "__open64_2")(path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __openat_2(int dirfd, const char *path, int flags) {
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(openat_2, "__openat_2")(dirfd, path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char *path, int flags) {
    if (const Kind k = device_of(path); k != Kind::None)
        return open_device(k, flags);
    return KORVIC_NEXT(openat64_2, "__openat64_2")(dirfd, path, flags);
}

__attribute__((visibility("default"))) void *mmap(void *addr, size_t len, int prot, int flags,
                                                  int fd, off_t offset) {
    if (const Kind k = kind_of_fd(fd); k != Kind::None)
        return map_device(k, len, flags, offset);
    return KORVIC_NEXT(mmap, "mmap")(addr, len, prot, flags, fd, offset);
}

__attribute__((visibility("default"))) void *mmap64(void *addr, size_t len, int prot, int flags,
                                                    int fd, off_t offset) {
    if (const Kind k = kind_of_fd(fd); k != Kind::None)
        return map_device(k, len, flags, offset);
    return KORVIC_NEXT(mmap64, "mmap64")(addr, len, prot, flags, fd, offset);
}

__attribute__((visibility("default"))) int munmap(void *addr, size_t len) {
    if (unmap_device(addr))
        return 0;
    return KORVIC_NEXT(munmap, "munmap")(addr, len);
}

// Async-signal-safe like close(2) itself (the console closes the board from its SIGINT
// handler): an atomic store, then the real close.
__attribute__((visibility("default"))) int close(int fd) {
    if (fd >= 0 && fd < kMaxFds)
        g_fd_kind[fd].store(Kind::None);
    return KORVIC_NEXT(close, "close")(fd);
}

}  // extern "C"
