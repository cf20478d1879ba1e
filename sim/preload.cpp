// libkorvic_sim.so: put in front of a program with LD_PRELOAD, it answers for the board's
// register device and the bridge device, and for nothing else.
//
// open/openat (and their 64-bit and fortified forms) of the simulated device paths return a
// descriptor of an anonymous memory file; mmap of such a descriptor returns a trapped
// window over the board model (register device, 512 bytes) or the bridge model (128
// bytes); close and munmap release them. Every other call passes straight to the next
// definition (the C library's). Settings come from the KORVIC_SIM_* environment variables
// (see settings.h), read when a simulated device is first opened.
//
// The signal calls that could take SIGSEGV, SIGTRAP or the external event signal away from
// the simulator, or block them, are interposed too (signal, sigaction, sigprocmask and the
// rest, below): they record what the program asks for as its own disposition and mask
// (signal_guard.h), and pass everything else through.
#undef _FORTIFY_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "settings.h"
#include "signal_guard.h"
#include "simulator.h"
#include "trace.h"
#include "trap.h"

namespace {

using korvic::sim::SimSettings;
using korvic::sim::Simulator;
using korvic::sim::TrapWindow;

void say(std::string_view s);

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
    // SIGSEGV and SIGTRAP are the simulator's from the start, so that what the program
    // does with them is recorded before its first register access.
    try {
        korvic::sim::install_trap_handlers();
    } catch (const std::exception &e) {
        say(e.what());
    }
}

// ---------------------------------------------------------------------------------------
// The simulated devices.
// ---------------------------------------------------------------------------------------

enum class Kind : std::uint8_t { None, Board, Bridge };

// Which descriptors are simulated devices, read without locks (close() is called from
// signal handlers): blocks of descriptors allocated when first needed, never freed.
constexpr int kFdsPerBlock = 4096;
constexpr int kFdBlocks = 1024;  // descriptors 0 .. 4194303, beyond any system's limit
struct FdBlock {
    std::atomic<Kind> kind[kFdsPerBlock];
};
std::atomic<FdBlock *> g_fd_blocks[kFdBlocks];
std::mutex g_fd_mutex;

std::atomic<Kind> *fd_entry(int fd) {
    if (fd < 0 || fd / kFdsPerBlock >= kFdBlocks)
        return nullptr;
    FdBlock *b = g_fd_blocks[fd / kFdsPerBlock].load(std::memory_order_acquire);
    return b != nullptr ? &b->kind[fd % kFdsPerBlock] : nullptr;
}

// The entry of `fd`, its block allocated if need be; nullptr with a message on failure.
std::atomic<Kind> *new_fd_entry(int fd) {
    if (fd < 0 || fd / kFdsPerBlock >= kFdBlocks) {
        say("descriptor " + std::to_string(fd) + " is beyond the " +
            std::to_string(kFdsPerBlock * kFdBlocks) + " that the simulator can serve");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_fd_mutex);
    std::atomic<FdBlock *> &slot = g_fd_blocks[fd / kFdsPerBlock];
    if (slot.load(std::memory_order_relaxed) == nullptr) {
        FdBlock *block = new (std::nothrow) FdBlock();  // every entry Kind::None
        if (block == nullptr) {
            say("no memory for the table of simulated device descriptors");
            return nullptr;
        }
        slot.store(block, std::memory_order_release);
    }
    return fd_entry(fd);
}

// The live windows, as many as the program maps; taken under g_mutex. Never destroyed:
// munmap may come in while the process exits, after static destructors have run.
std::vector<TrapWindow *> &live_windows() {
    static auto *windows = new std::vector<TrapWindow *>;
    return *windows;
}
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

// The external event signal: a request to the board, whatever the program's mask; the
// program's own handler for the signal, if it has one, is called by the guard after it.
std::atomic<Simulator *> g_signal_sim{nullptr};
bool on_external_event_signal(int, siginfo_t *, void *) {
    if (Simulator *sim = g_signal_sim.load(std::memory_order_acquire))
        sim->board().request_external_event();
    return false;
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
    if (const int sig = settings->external_event_signal; sig != 0) {
        g_signal_sim.store(g_state->sim, std::memory_order_release);
        const int e = korvic::sim::guard_signal(sig, korvic::sim::GuardKind::Trigger,
                                                on_external_event_signal);
        if (e != 0) {
            say("cannot use signal " + std::to_string(sig) + " for external events: " +
                (e == EBUSY ? "the simulator needs it for register accesses" : std::strerror(e)));
            return;
        }
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
    const char *what = kind == Kind::Board ? "board" : "bridge";
    const int fd = memfd_create(kind == Kind::Board ? "korvic_sim_board" : "korvic_sim_bridge",
                                (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0u);
    if (fd < 0) {
        const int e = errno;
        say(std::string("cannot open the simulated ") + what + " device: " + std::strerror(e) +
            (e == EMFILE || e == ENFILE ? " (no descriptor left)" : ""));
        errno = e;
        return -1;
    }
    std::atomic<Kind> *entry = new_fd_entry(fd);
    if (entry == nullptr) {
        KORVIC_NEXT(close, "close")(fd);
        errno = EMFILE;
        return -1;
    }
    entry->store(kind);
    return fd;
}

Kind kind_of_fd(int fd) {
    const std::atomic<Kind> *entry = fd_entry(fd);
    return entry != nullptr ? entry->load() : Kind::None;
}

void *map_device(Kind kind, size_t len, int flags, off_t offset) {
    if (offset != 0 || (flags & MAP_FIXED) || len == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    const std::uint32_t limit =
        kind == Kind::Board ? korvic::sim::kBoardWindowBytes : korvic::sim::kBridgeWindowBytes;
    const size_t bytes = len < limit ? len : limit;
    const char *what = kind == Kind::Board ? "board" : "bridge";
    std::lock_guard<std::mutex> lock(g_mutex);
    try {
        live_windows().reserve(live_windows().size() + 1);
        korvic::sim::MmioTarget &target =
            kind == Kind::Board ? g_state->sim->board_target() : g_state->sim->bridge_target();
        auto *window = new TrapWindow(target, bytes);
        live_windows().push_back(window);
        return window->base();
    } catch (const std::system_error &e) {
        say(std::string("cannot map the simulated ") + what + " window: " + e.what() +
            (e.code() == std::errc::not_enough_memory
                 ? " (the process may be at its limit of memory mappings, vm.max_map_count)"
                 : ""));
        errno = e.code().value();
    } catch (const std::bad_alloc &) {
        say(std::string("cannot map the simulated ") + what + " window: out of memory");
        errno = ENOMEM;
    }
    return MAP_FAILED;
}

// True when `addr` was a simulated window (now released). The window is deleted outside the
// lock: its destructor unmaps through munmap, which comes back here.
bool unmap_device(const void *addr) {
    TrapWindow *found = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        std::vector<TrapWindow *> &windows = live_windows();
        const auto it = std::find_if(windows.begin(), windows.end(),
                                     [&](const TrapWindow *w) { return w->base() == addr; });
        if (it != windows.end()) {
            found = *it;
            windows.erase(it);
        }
    }
    delete found;
    return found != nullptr;
}

bool wants_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

// ---------------------------------------------------------------------------------------
// The signal calls, as the C library defines them, over the guard's program_sigaction and
// program_sigmask (the C library's own versions call its internal sigaction, past us).
// ---------------------------------------------------------------------------------------

bool valid_signal(int sig) {
    return sig >= 1 && sig < NSIG;
}

// Signals for which siginterrupt() asked that calls be interrupted, not restarted.
std::atomic<std::uint64_t> g_interrupting{0};

std::uint64_t signal_bit(int sig) {
    return std::uint64_t{1} << (sig - 1);
}

// signal() with BSD semantics: the handler stays, the signal is blocked while it runs and
// interrupted calls restart (unless siginterrupt() said otherwise).
sighandler_t bsd_signal_of(int sig, sighandler_t handler) {
    if (handler == SIG_ERR || !valid_signal(sig)) {
        errno = EINVAL;
        return SIG_ERR;
    }
    struct sigaction act {
    }, old{};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    sigaddset(&act.sa_mask, sig);
    act.sa_flags = (g_interrupting.load() & signal_bit(sig)) ? 0 : SA_RESTART;
    if (korvic::sim::program_sigaction(sig, &act, &old) < 0)
        return SIG_ERR;
    return old.sa_handler;
}

// signal() with System V semantics: a one-shot handler, not blocked while it runs, calls
// not restarted.
sighandler_t sysv_signal_of(int sig, sighandler_t handler) {
    if (handler == SIG_ERR || !valid_signal(sig)) {
        errno = EINVAL;
        return SIG_ERR;
    }
    struct sigaction act {
    }, old{};
    act.sa_handler = handler;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESETHAND | SA_NODEFER;
    if (korvic::sim::program_sigaction(sig, &act, &old) < 0)
        return SIG_ERR;
    return old.sa_handler;
}

// sigprocmask() on one signal; -1 and errno on failure.
int mask_one(int how, int sig, sigset_t *old) {
    if (!valid_signal(sig)) {
        errno = EINVAL;
        return -1;
    }
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    const int e = korvic::sim::program_sigmask(how, &one, old);
    if (e != 0) {
        errno = e;
        return -1;
    }
    return 0;
}

// The BSD masks: an int, signal n at bit n - 1.
int bsd_mask(int how, int mask) {
    sigset_t set, old;
    sigemptyset(&set);
    for (int sig = 1; sig < NSIG && sig <= 32; ++sig)
        if (mask & (1u << (sig - 1)))
            sigaddset(&set, sig);
    if (korvic::sim::program_sigmask(how, how == SIG_BLOCK && mask == 0 ? nullptr : &set, &old))
        return -1;
    unsigned out = 0;
    for (int sig = 1; sig < NSIG && sig <= 32; ++sig)
        if (sigismember(&old, sig) == 1)
            out |= 1u << (sig - 1);
    return static_cast<int>(out);
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

// The signal calls. The C library declares some of them deprecated; the names are theirs.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)

__attribute__((visibility("default"))) int sigaction(int sig, const struct sigaction *act,
                                                     struct sigaction *old) {
    return korvic::sim::program_sigaction(sig, act, old);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __sigaction(int sig, const struct sigaction *act,
                                                       struct sigaction *old) {
    return korvic::sim::program_sigaction(sig, act, old);
}

__attribute__((visibility("default"))) sighandler_t signal(int sig, sighandler_t handler) {
    return bsd_signal_of(sig, handler);
}

__attribute__((visibility("default"))) sighandler_t bsd_signal(int sig, sighandler_t handler) {
    return bsd_signal_of(sig, handler);
}

__attribute__((visibility("default"))) sighandler_t ssignal(int sig, sighandler_t handler) {
    return bsd_signal_of(sig, handler);
}

__attribute__((visibility("default"))) sighandler_t sysv_signal(int sig, sighandler_t handler) {
    return sysv_signal_of(sig, handler);
}

// What signal() is in a strict ISO C program.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) sighandler_t __sysv_signal(int sig, sighandler_t handler) {
    return sysv_signal_of(sig, handler);
}

// System V: SIG_HOLD blocks the signal; anything else installs it and unblocks the signal.
// Returns SIG_HOLD when the signal was blocked, else the previous disposition.
__attribute__((visibility("default"))) sighandler_t sigset(int sig, sighandler_t disp) {
    if (disp == SIG_ERR || !valid_signal(sig)) {
        errno = EINVAL;
        return SIG_ERR;
    }
    sigset_t old;
    struct sigaction prev {};
    if (disp == SIG_HOLD) {
        if (mask_one(SIG_BLOCK, sig, &old) < 0)
            return SIG_ERR;
        if (sigismember(&old, sig) == 1)
            return SIG_HOLD;
        if (korvic::sim::program_sigaction(sig, nullptr, &prev) < 0)
            return SIG_ERR;
        return prev.sa_handler;
    }
    struct sigaction act {};
    act.sa_handler = disp;
    sigemptyset(&act.sa_mask);
    if (korvic::sim::program_sigaction(sig, &act, &prev) < 0 ||
        mask_one(SIG_UNBLOCK, sig, &old) < 0)
        return SIG_ERR;
    return sigismember(&old, sig) == 1 ? SIG_HOLD : prev.sa_handler;
}

__attribute__((visibility("default"))) int sighold(int sig) {
    return mask_one(SIG_BLOCK, sig, nullptr);
}

__attribute__((visibility("default"))) int sigrelse(int sig) {
    return mask_one(SIG_UNBLOCK, sig, nullptr);
}

__attribute__((visibility("default"))) int sigignore(int sig) {
    struct sigaction act {};
    act.sa_handler = SIG_IGN;
    sigemptyset(&act.sa_mask);
    return korvic::sim::program_sigaction(sig, &act, nullptr);
}

__attribute__((visibility("default"))) int siginterrupt(int sig, int interrupt) {
    struct sigaction act {};
    if (!valid_signal(sig) || korvic::sim::program_sigaction(sig, nullptr, &act) < 0) {
        errno = EINVAL;
        return -1;
    }
    if (interrupt) {
        g_interrupting.fetch_or(signal_bit(sig));
        act.sa_flags &= ~SA_RESTART;
    } else {
        g_interrupting.fetch_and(~signal_bit(sig));
        act.sa_flags |= SA_RESTART;
    }
    return korvic::sim::program_sigaction(sig, &act, nullptr);
}

__attribute__((visibility("default"))) int sigprocmask(int how, const sigset_t *set,
                                                       sigset_t *old) {
    const int e = korvic::sim::program_sigmask(how, set, old);
    if (e != 0) {
        errno = e;
        return -1;
    }
    return 0;
}

__attribute__((visibility("default"))) int pthread_sigmask(int how, const sigset_t *set,
                                                           sigset_t *old) {
    return korvic::sim::program_sigmask(how, set, old);
}

__attribute__((visibility("default"))) int sigblock(int mask) {
    return bsd_mask(SIG_BLOCK, mask);
}

__attribute__((visibility("default"))) int sigsetmask(int mask) {
    return bsd_mask(SIG_SETMASK, mask);
}

__attribute__((visibility("default"))) int siggetmask(void) {
    return bsd_mask(SIG_BLOCK, 0);
}

__attribute__((visibility("default"))) int sigsuspend(const sigset_t *mask) {
    return korvic::sim::program_sigsuspend(mask);
}

__attribute__((visibility("default"))) int sigpending(sigset_t *set) {
    return korvic::sim::program_sigpending(set);
}

// NOLINTEND(readability-inconsistent-declaration-parameter-name)

// Async-signal-safe like close(2) itself (the console closes the board from its SIGINT
// handler): an atomic store, then the real close.
__attribute__((visibility("default"))) int close(int fd) {
    if (std::atomic<Kind> *entry = fd_entry(fd))
        entry->store(Kind::None);
    return KORVIC_NEXT(close, "close")(fd);
}

}  // extern "C"
