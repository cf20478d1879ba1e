// libkorvic_sim.so: put in front of a program with LD_PRELOAD, it answers for the board's
// register device and the bridge device, and for nothing else.
//
// open/openat (and their 64-bit and fortified forms) of a simulated device path (each
// board's register and bridge device) return a descriptor of a memory file of the window's
// size: for a register device a new open of the board's one device file (shared_run.h; in a
// run of the process's own, of a memory file kept for the board), so that flock() on it,
// the board lock, excludes as on a device node; for a bridge an anonymous one. mmap of such
// a descriptor returns a trapped window over that board's model (register device, 512
// bytes) or its bridge model (128 bytes); close and munmap release them. Every other call passes
// straight to the next definition (the C library's). Settings come from the KORVIC_SIM_*
// environment variables (see settings.h), read when a simulated device is first opened. Under the
// launcher, the boards are the run's, in the file that KORVIC_SIM_SHARED names: every process of
// the run serves the same boards.
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "quoting.h"
#include "settings.h"
#include "shared_run.h"
#include "signal_guard.h"
#include "simulator.h"
#include "text.h"
#include "trace.h"
#include "trap.h"
#include "uio_node.h"

namespace {

using korvic::sim::SharedRun;
using korvic::sim::SimSettings;
using korvic::sim::Simulator;
using korvic::sim::TrapWindow;

void say(std::string_view s);
void end_with_run_status(int status, void *);

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
using ExitFn = void (*)(int);

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
    std::atomic<ExitFn> exit{nullptr}, exit2{nullptr};
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
    KORVIC_NEXT(exit, "_exit");
    KORVIC_NEXT(exit2, "_Exit");
    on_exit(end_with_run_status, nullptr);
    // SIGSEGV and SIGTRAP are the simulator's from the start, so that what the program
    // does with them is recorded before its first register access.
    try {
        korvic::sim::install_trap_handlers();
    } catch (const std::exception &e) {
        say(e.what());
    }
}

// A trace line that could not be written fails the run: the process that lost it ends with
// 1 where it would have ended with 0, and so does the launcher's own process (the program
// it became), whichever process of the run lost it. The one place where the simulator
// changes what a program returns: a run whose accesses go unrecorded must not pass for a
// run without them.
std::atomic<pid_t> g_trace_lost_by{0};      // the process that lost a line of its own
std::atomic<bool> g_run_trace_lost{false};  // read by end_run() in the launcher's process

int run_status(int status) {
    const bool lost = g_trace_lost_by.load() == getpid() || g_run_trace_lost.load();
    return lost && (status & 0xff) == 0 ? 1 : status;
}

// When the launcher's own process (the program it became) exits, by exit() or _exit(), the
// run ends: its directory goes, before the program's parent sees it exit. (A program that
// dies of a signal leaves that to the launcher's watcher.) Only system calls, no
// allocation: _exit() may be called from a signal handler.
std::atomic<bool> g_run_ended{false};
void end_run() {
    if (g_run_ended.exchange(true))
        return;
    const char *program = std::getenv(korvic::sim::kEnvProgramPid);
    const char *state = std::getenv(korvic::sim::kEnvShared);
    if (program == nullptr || state == nullptr || std::strtol(program, nullptr, 10) != getpid())
        return;
    char dir[4096];
    const std::size_t len = std::strlen(state);
    const char *slash = std::strrchr(state, '/');
    if (slash == nullptr || slash == state || len >= sizeof dir)
        return;
    std::memcpy(dir, state, static_cast<std::size_t>(slash - state));
    dir[slash - state] = '\0';
    const char *name = std::strrchr(dir, '/');
    if (name == nullptr)
        return;
    const std::string_view parent(dir, static_cast<std::size_t>(name - dir));
    char parent_path[4096];
    std::memcpy(parent_path, parent.data(), parent.size());
    parent_path[parent.size()] = '\0';
    const int parent_fd = KORVIC_NEXT(open, "open")(parent.empty() ? "/" : parent_path,
                                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int dirfd =
        KORVIC_NEXT(open, "open")(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirfd >= 0 && korvic::sim::run_trace_failed(dirfd))
        g_run_trace_lost.store(true);
    if (parent_fd >= 0 && dirfd >= 0)
        korvic::sim::remove_run_files(parent_fd, name + 1, dirfd);
    if (dirfd >= 0)
        KORVIC_NEXT(close, "close")(dirfd);
    if (parent_fd >= 0)
        KORVIC_NEXT(close, "close")(parent_fd);
}

__attribute__((destructor)) void end_run_at_exit() {
    end_run();
}

// The last of the exit handlers (registered before the C library registers the one that
// runs the destructors): the status that exit() was given, and the run's verdict on it.
// What stdio still holds is written before the changed status ends the process.
void end_with_run_status(int status, void *) {
    end_run();
    const int changed = run_status(status);
    if (changed == status)
        return;
    std::fflush(nullptr);
    KORVIC_NEXT(exit, "_exit")(changed);
}

// ---------------------------------------------------------------------------------------
// The simulated devices.
// ---------------------------------------------------------------------------------------

enum class Kind : std::uint8_t { None, Board, Bridge, Uio };

// A simulated device: which one of which board. Packed into 16 bits for the descriptor
// table: 0 is no device, else the board number times 4, plus 1 for the bridge, 2 for the
// interrupt node.
struct DeviceId {
    Kind kind = Kind::None;
    int board = 0;

    std::uint16_t packed() const {
        return kind == Kind::None
                   ? 0
                   : static_cast<std::uint16_t>(board * 4 + static_cast<int>(kind) - 1);
    }
    static DeviceId unpack(std::uint16_t v) {
        if (v == 0)
            return {};
        return {static_cast<Kind>(v % 4 + 1), v / 4};
    }
};

// Which descriptors are simulated devices, read without locks (close() is called from
// signal handlers): blocks of descriptors allocated when first needed, never freed.
constexpr int kFdsPerBlock = 4096;
constexpr int kFdBlocks = 1024;  // descriptors 0 .. 4194303, beyond any system's limit
struct FdBlock {
    std::atomic<std::uint16_t> device[kFdsPerBlock];
};
std::atomic<FdBlock *> g_fd_blocks[kFdBlocks];
std::mutex g_fd_mutex;

std::atomic<std::uint16_t> *fd_entry(int fd) {
    if (fd < 0 || fd / kFdsPerBlock >= kFdBlocks)
        return nullptr;
    FdBlock *b = g_fd_blocks[fd / kFdsPerBlock].load(std::memory_order_acquire);
    return b != nullptr ? &b->device[fd % kFdsPerBlock] : nullptr;
}

// The entry of `fd`, its block allocated if need be; nullptr with a message on failure.
std::atomic<std::uint16_t> *new_fd_entry(int fd) {
    if (fd < 0 || fd / kFdsPerBlock >= kFdBlocks) {
        say("descriptor " + std::to_string(fd) + " is beyond the " +
            std::to_string(kFdsPerBlock * kFdBlocks) + " that the simulator can serve");
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_fd_mutex);
    std::atomic<FdBlock *> &slot = g_fd_blocks[fd / kFdsPerBlock];
    if (slot.load(std::memory_order_relaxed) == nullptr) {
        FdBlock *block = new (std::nothrow) FdBlock();  // every entry 0: no device
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
    // The launcher's run: board k's device file is device_files[k - 1]. Else (a run of this
    // process's own) board k's memory file is kept open as local_files[k - 1], made at the
    // first open, under g_mutex.
    std::vector<std::string> device_files;
    std::vector<int> local_files;
};
State *g_state = nullptr;
std::once_flag g_state_once;

void say(std::string_view s) {
    std::string line = "korvic_sim: ";
    line += korvic::detail::printable(s);
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
    int fd =
        KORVIC_NEXT(open, "open")(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    // Never on a standard descriptor that the program closed: its output would land in the
    // trace, and the program's board device would not be refused for that number.
    if (fd >= 0 && fd <= 2) {
        const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        KORVIC_NEXT(close, "close")(fd);
        fd = high;
    }
    bool ok = fd >= 0;
    struct stat st {};
    if (ok && machine && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
        ok = korvic::sim::write_machine_header(fd);
    if (!ok) {
        const int err = errno;
        if (fd >= 0)
            KORVIC_NEXT(close, "close")(fd);
        say("cannot write the trace file " + korvic::detail::shown(path) + ": " +
            std::strerror(err));
        return -2;
    }
    return fd;
}

// Says once per process, at the first trace line it could not write, which file and why:
// inside the MMIO signal handler, so with write(2) alone (the paths were read before).
void report_trace_failure(const korvic::sim::TraceError &e) {
    g_trace_lost_by.store(getpid());
    const std::string &path =
        e.machine ? g_state->settings.trace_tsv_path : g_state->settings.trace_path;
    korvic::sim::FixedText<4096 + 256> line;
    line.add("korvic_sim: cannot write the trace file ")
        .add(path == "-" ? "- (standard error)" : path)
        .add(": ")
        .add(strerrordesc_np(e.error) != nullptr ? strerrordesc_np(e.error) : "unknown error")
        .add("; the run fails (status 1)\n");
    (void)!::write(2, line.data(), line.size());
}

// The external event signals: a request to each board that takes its events from the
// signal, whatever the program's mask; the program's own handler for the signal, if it has
// one, is called by the guard after it. Boards 1..64 are bits 0..63.
std::atomic<Simulator *> g_signal_sim{nullptr};
std::atomic<std::uint64_t> g_signal_boards[NSIG];
bool on_external_event_signal(int sig, siginfo_t *, void *) {
    Simulator *sim = g_signal_sim.load(std::memory_order_acquire);
    if (sim == nullptr || sig <= 0 || sig >= NSIG)
        return false;
    const std::uint64_t boards = g_signal_boards[sig].load(std::memory_order_relaxed);
    for (int k = 1; k <= sim->boards(); ++k)
        if (boards & (std::uint64_t{1} << (k - 1)))
            sim->board(k).request_external_event();
    // A process waiting on a node has its board's events brought about by a helper.
    korvic::sim::uio::kick();
    return false;
}

// The simulator for these settings: the launcher's run when KORVIC_SIM_SHARED names one,
// else boards of this process's own. nullptr, said on standard error, when it cannot be had.
Simulator *make_simulator(const SimSettings &settings, int trace, int tsv) {
    const char *shared = std::getenv(korvic::sim::kEnvShared);
    try {
        if (shared == nullptr || *shared == '\0')
            return new Simulator(settings, trace, tsv);
        return new Simulator(settings, SharedRun::open(shared), korvic::sim::PowerUp::No, trace,
                             tsv);
    } catch (const std::exception &e) {
        say("cannot use the simulated boards: " + korvic::detail::message_of(e) +
            (shared != nullptr && *shared != '\0' ? " (has the korvic_sim that started this "
                                                    "program ended?)"
                                                  : ""));
    }
    return nullptr;
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
    const auto close_traces = [&] {
        if (trace >= 0 && settings->trace_path != "-")
            KORVIC_NEXT(close, "close")(trace);
        if (tsv >= 0 && settings->trace_tsv_path != "-")
            KORVIC_NEXT(close, "close")(tsv);
    };
    if (trace == -2 || tsv == -2) {
        close_traces();
        return;
    }
    g_state->sim = make_simulator(*settings, trace, tsv);
    if (g_state->sim == nullptr) {
        close_traces();
        return;
    }
    if (const char *shared = std::getenv(korvic::sim::kEnvShared);
        shared != nullptr && *shared != '\0') {
        struct stat st {};
        if (stat(shared, &st) != 0) {
            say(std::string("cannot look at the shared board state: ") + std::strerror(errno));
            return;
        }
        for (int k = 1; k <= g_state->sim->boards(); ++k) {
            char name[korvic::sim::kDeviceFileNameSize];
            korvic::sim::device_file_name(name, st.st_dev, st.st_ino, k);
            g_state->device_files.emplace_back(name);
        }
    } else {
        g_state->local_files.assign(static_cast<std::size_t>(g_state->sim->boards()), -1);
    }
    g_state->sim->on_trace_failure(report_trace_failure);
    for (int k = 1; k <= g_state->sim->boards(); ++k)
        if (const int sig = settings->board(k).external_event_signal; sig != 0)
            g_signal_boards[sig].fetch_or(std::uint64_t{1} << (k - 1));
    g_signal_sim.store(g_state->sim, std::memory_order_release);
    for (int sig = 1; sig < NSIG; ++sig) {
        if (g_signal_boards[sig].load() == 0)
            continue;
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

// True when `path` is the default device path `base` of board k: `base` itself for board
// 1, `base` and the number k for the others.
bool is_default_path(std::string_view path, std::string_view base, int k) {
    if (!path.starts_with(base))
        return false;
    path.remove_prefix(base.size());
    if (k == 1)
        return path.empty();
    char digits[8];
    const int n = std::snprintf(digits, sizeof digits, "%d", k);
    return path == std::string_view(digits, static_cast<std::size_t>(n));
}

// The value of the per-board variable `name` for board k: its own "_k" form, else the one
// for every board; nullptr when neither is set. No allocation.
const char *board_env(const char *name, int k) {
    char own[64];
    std::snprintf(own, sizeof own, "%s_%d", name, k);
    const char *v = std::getenv(own);
    if (v == nullptr || *v == '\0')
        v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
}

// Which simulated device a path names, judged by the path text alone (the devices need
// not exist in the file system) against the settings in the environment, without reading
// them whole: the program's other files are opened without that cost.
DeviceId device_of(const char *path) {
    if (path == nullptr)
        return {};
    int boards = 1;
    if (const char *n = std::getenv(korvic::sim::kEnvBoards); n != nullptr && *n != '\0')
        boards = static_cast<int>(std::clamp(std::strtol(n, nullptr, 10), 1L,
                                             static_cast<long>(korvic::sim::kMaxBoards)));
    for (int k = 1; k <= boards; ++k) {
        const char *mem = board_env(korvic::sim::kEnvMemPath, k);
        const char *bridge = board_env(korvic::sim::kEnvIntPath, k);
        if (mem != nullptr ? std::strcmp(path, mem) == 0
                           : is_default_path(path, korvic::sim::kDefaultMemPath, k))
            return {Kind::Board, k};
        if (bridge != nullptr ? std::strcmp(path, bridge) == 0
                              : is_default_path(path, korvic::sim::kDefaultIntPath, k))
            return {Kind::Bridge, k};
        if (is_default_path(path, korvic::sim::kDefaultUioPath, k))
            return {Kind::Uio, k};
    }
    return {};
}

const char *device_name(Kind kind) {
    return kind == Kind::Board ? "board" : kind == Kind::Bridge ? "bridge" : "interrupt node";
}

// An anonymous memory file of `size` bytes; -1 and errno when it cannot be had.
int new_memory_file(const char *name, off_t size, unsigned flags) {
    const int fd = memfd_create(name, flags);
    if (fd >= 0 && ftruncate(fd, size) != 0) {
        const int e = errno;
        KORVIC_NEXT(close, "close")(fd);
        errno = e;
        return -1;
    }
    return fd;
}

// A new open of board k's one file, `cloexec` (O_CLOEXEC or 0) as the program asked; -1
// and errno when it cannot be had.
int open_board_file(int k, int cloexec) {
    const auto index = static_cast<std::size_t>(k - 1);
    if (!g_state->device_files.empty())
        return KORVIC_NEXT(open, "open")(g_state->device_files[index].c_str(),
                                         O_RDWR | O_NOFOLLOW | cloexec, 0);
    int kept = -1;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        kept = g_state->local_files[index];
        if (kept < 0) {
            // Kept above the standard descriptors: a closed one must stay closed.
            const int fd =
                new_memory_file("korvic_sim_board", korvic::sim::kBoardWindowBytes, MFD_CLOEXEC);
            kept = fd >= 0 && fd <= 2 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : fd;
            if (fd >= 0 && fd != kept)
                KORVIC_NEXT(close, "close")(fd);
            if (kept < 0)
                return -1;
            g_state->local_files[index] = kept;
        }
    }
    char path[40];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", kept);
    return KORVIC_NEXT(open, "open")(path, O_RDWR | cloexec, 0);
}

int open_device(DeviceId device, int flags) {
    std::call_once(g_state_once, init_state);
    if (!g_state->ok) {
        errno = EINVAL;
        return -1;
    }
    if (device.board > g_state->sim->boards()) {
        say("no board " + std::to_string(device.board) + " in this run (" +
            std::to_string(g_state->sim->boards()) + ")");
        errno = ENOENT;
        return -1;
    }
    if ((flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != O_RDONLY) {
        errno = EACCES;
        return -1;
    }
    const bool board = device.kind == Kind::Board;
    // The file has the window's size, as a device's size check would find it; the
    // interrupt node is an eventfd (uio_node.h).
    const int fd = device.kind == Kind::Uio ? korvic::sim::uio::open_node(device.board, flags)
                   : board                  ? open_board_file(device.board, flags & O_CLOEXEC)
                           : new_memory_file("korvic_sim_bridge", korvic::sim::kBridgeWindowBytes,
                                             (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0u);
    if (fd < 0) {
        const int e = errno;
        say(std::string("cannot open the simulated ") + device_name(device.kind) + " device: " +
            std::strerror(e) + (e == EMFILE || e == ENFILE ? " (no descriptor left)" : ""));
        errno = e;
        return -1;
    }
    std::atomic<std::uint16_t> *entry = new_fd_entry(fd);
    if (entry == nullptr) {
        if (device.kind == Kind::Uio)
            korvic::sim::uio::forget(fd);
        KORVIC_NEXT(close, "close")(fd);
        errno = EMFILE;
        return -1;
    }
    entry->store(device.packed());
    return fd;
}

DeviceId device_of_fd(int fd) {
    const std::atomic<std::uint16_t> *entry = fd_entry(fd);
    return DeviceId::unpack(entry != nullptr ? entry->load() : 0);
}

void *map_device(DeviceId device, size_t len, int flags, off_t offset) {
    if (device.kind == Kind::Uio) {
        errno = ENODEV;  // the node counts interrupts; the registers are the board device's
        return MAP_FAILED;
    }
    if (offset != 0 || (flags & MAP_FIXED) || len == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    const bool board = device.kind == Kind::Board;
    const std::uint32_t limit =
        board ? korvic::sim::kBoardWindowBytes : korvic::sim::kBridgeWindowBytes;
    const size_t bytes = len < limit ? len : limit;
    const char *what = device_name(device.kind);
    std::lock_guard<std::mutex> lock(g_mutex);
    try {
        live_windows().reserve(live_windows().size() + 1);
        korvic::sim::MmioTarget &target = board ? g_state->sim->board_target(device.board)
                                                : g_state->sim->bridge_target(device.board);
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

int korvic::sim::uio::board_of_node(int fd) {
    const DeviceId d = device_of_fd(fd);
    return d.kind == Kind::Uio ? d.board : 0;
}

korvic::sim::Simulator *korvic::sim::uio::simulator() {
    return g_signal_sim.load(std::memory_order_acquire);
}

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
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
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
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
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
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
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
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
    return KORVIC_NEXT(openat64, "openat64")(dirfd, path, flags, mode);
}

// The fortified forms that _FORTIFY_SOURCE builds call in place of open/openat.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __open_2(const char *path, int flags) {
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
    return KORVIC_NEXT(open_2, "__open_2")(path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __open64_2(const char *path, int flags) {
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
    return KORVIC_NEXT(open64_2, "__open64_2")(path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __openat_2(int dirfd, const char *path, int flags) {
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
    return KORVIC_NEXT(openat_2, "__openat_2")(dirfd, path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __openat64_2(int dirfd, const char *path, int flags) {
    if (const DeviceId d = device_of(path); d.kind != Kind::None)
        return open_device(d, flags);
    return KORVIC_NEXT(openat64_2, "__openat64_2")(dirfd, path, flags);
}

__attribute__((visibility("default"))) void *mmap(void *addr, size_t len, int prot, int flags,
                                                  int fd, off_t offset) {
    if (const DeviceId d = device_of_fd(fd); d.kind != Kind::None)
        return map_device(d, len, flags, offset);
    return KORVIC_NEXT(mmap, "mmap")(addr, len, prot, flags, fd, offset);
}

__attribute__((visibility("default"))) void *mmap64(void *addr, size_t len, int prot, int flags,
                                                    int fd, off_t offset) {
    if (const DeviceId d = device_of_fd(fd); d.kind != Kind::None)
        return map_device(d, len, flags, offset);
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

// A program that ends with _exit() (as the shell does) ends the run as exit() does, with
// the run's verdict on its status.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"), noreturn)) void _exit(int status) {
    end_run();
    KORVIC_NEXT(exit, "_exit")(run_status(status));
    __builtin_unreachable();
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"), noreturn)) void _Exit(int status) {
    end_run();
    KORVIC_NEXT(exit2, "_Exit")(run_status(status));
    __builtin_unreachable();
}

// Async-signal-safe like close(2) itself (the console closes the board from its SIGINT
// handler): an atomic store, then the real close.
__attribute__((visibility("default"))) int close(int fd) {
    if (std::atomic<std::uint16_t> *entry = fd_entry(fd))
        if (DeviceId::unpack(entry->exchange(0)).kind == Kind::Uio)
            korvic::sim::uio::forget(fd);
    return KORVIC_NEXT(close, "close")(fd);
}

}  // extern "C"
