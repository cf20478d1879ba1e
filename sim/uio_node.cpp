// The simulated interrupt node (uio_node.h): its opens, its helper thread, and the
// interposed calls that reach it: read, __read_chk, write, and, to start the helper and to
// move a virtual clock, poll, ppoll, __poll_chk, __ppoll_chk, select, pselect and
// epoll_ctl. For any descriptor that is not a node they pass straight to the C library.
#undef _FORTIFY_SOURCE
#include "uio_node.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "interrupt_line.h"
#include "settings.h"
#include "simulator.h"

namespace korvic::sim::uio {
namespace {

// ---------------------------------------------------------------------------------------
// The next definitions of the interposed calls.
// ---------------------------------------------------------------------------------------

using ReadFn = ssize_t (*)(int, void *, size_t);
using ReadChkFn = ssize_t (*)(int, void *, size_t, size_t);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using PollFn = int (*)(struct pollfd *, nfds_t, int);
using PpollFn = int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *);
using PollChkFn = int (*)(struct pollfd *, nfds_t, int, size_t);
using PpollChkFn = int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *,
                           size_t);
using SelectFn = int (*)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
using PselectFn = int (*)(int, fd_set *, fd_set *, fd_set *, const struct timespec *,
                          const sigset_t *);
using EpollCtlFn = int (*)(int, int, int, struct epoll_event *);

template <typename Fn>
Fn next(std::atomic<Fn> &slot, const char *name) {
    Fn fn = slot.load(std::memory_order_acquire);
    if (fn == nullptr) {
        fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        slot.store(fn, std::memory_order_release);
    }
    return fn;
}

std::atomic<ReadFn> g_read{nullptr};
std::atomic<ReadChkFn> g_read_chk{nullptr};
std::atomic<WriteFn> g_write{nullptr};
std::atomic<PollFn> g_poll{nullptr};
std::atomic<PpollFn> g_ppoll{nullptr};
std::atomic<PollChkFn> g_poll_chk{nullptr};
std::atomic<PpollChkFn> g_ppoll_chk{nullptr};
std::atomic<SelectFn> g_select{nullptr};
std::atomic<PselectFn> g_pselect{nullptr};
std::atomic<EpollCtlFn> g_epoll_ctl{nullptr};

__attribute__((constructor)) void resolve_node_calls() {
    next(g_read, "read");
    next(g_read_chk, "__read_chk");
    next(g_write, "write");
    next(g_poll, "poll");
    next(g_ppoll, "ppoll");
    next(g_poll_chk, "__poll_chk");
    next(g_ppoll_chk, "__ppoll_chk");
    next(g_select, "select");
    next(g_pselect, "pselect");
    next(g_epoll_ctl, "epoll_ctl");
}

// ---------------------------------------------------------------------------------------
// The nodes of this process, for the helper: lock-free, since close() runs in signal
// handlers. A slot is claimed by its board number, then given its descriptor; the helper
// marks itself as a user of a slot while it writes to its descriptor, and forget() waits
// for that before the descriptor is closed (and its number given to another file).
// ---------------------------------------------------------------------------------------

constexpr int kMaxNodes = 1024;
struct NodeSlot {
    std::atomic<int> board{0};           // 0: free
    std::atomic<int> fd{-1};             // the eventfd, -1 while claimed or closing
    std::atomic<std::uint32_t> seen{0};  // the board's count last made readable here
    std::atomic<int> users{0};
};
NodeSlot g_nodes[kMaxNodes];
std::atomic<int> g_used{0};  // slots below this have been claimed at some time

// What a node open last saw of its board's count; makes it readable when the count has
// grown since.
void forward(NodeSlot &s, Simulator &sim, std::uint64_t &boards) {
    s.users.fetch_add(1);
    const int fd = s.fd.load();
    const int k = s.board.load();
    if (fd >= 0 && k > 0 && k <= sim.boards()) {
        boards |= std::uint64_t{1} << (k - 1);
        const std::uint32_t c = sim.interrupt(k).count();
        if (s.seen.exchange(c) != c) {
            const std::uint64_t one = 1;
            (void)!next(g_write, "write")(fd, &one, sizeof one);
        }
    }
    s.users.fetch_sub(1);
}

// Every node of this process; the boards they belong to, as bits.
std::uint64_t forward_all(Simulator &sim) {
    std::uint64_t boards = 0;
    const int used = g_used.load();
    for (int i = 0; i < used; ++i)
        forward(g_nodes[i], sim, boards);
    return boards;
}

// ---------------------------------------------------------------------------------------
// The helper thread.
// ---------------------------------------------------------------------------------------

// The longest the helper sleeps when nothing is scheduled: it looks at the boards again.
constexpr std::int64_t kIdleUs = 1'000'000;

void *helper_main(void *) {
    // The helper stands for the board's own timing: its sleeps end when asked, not up to
    // 50 us later, and where the system allows it (root, CAP_SYS_NICE) it runs at the
    // lowest real-time priority (or at its program's, when that is a real-time one), so that a busy
    // host delays the board's events no more than the programs that wait for them. It sleeps
    // between events, and each of its passes is a few microseconds.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int policy = SCHED_OTHER;
    sched_param rt{};
    if (pthread_getschedparam(pthread_self(), &policy, &rt) == 0 && policy != SCHED_FIFO &&
        policy != SCHED_RR) {
        rt.sched_priority = sched_get_priority_min(SCHED_FIFO);
        (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt);
    }
    Simulator &sim = *simulator();
    InterruptWake &wake = sim.interrupt_wake();
    for (;;) {
        // Each interrupt this helper counts changes the word once: what changed it besides
        // (another process's interrupt or store) makes it look again at once.
        std::uint32_t changes = wake.changes.load(std::memory_order_acquire);
        std::int64_t sleep_us = kIdleUs;
        const std::uint64_t boards = forward_all(sim);
        for (int k = 1; k <= sim.boards(); ++k) {
            if ((boards & (std::uint64_t{1} << (k - 1))) == 0)
                continue;
            bool counted = false;
            if (const std::optional<std::int64_t> next_us = sim.settle(k, counted))
                sleep_us = std::min(sleep_us, *next_us);
            changes += counted ? 1 : 0;
        }
        forward_all(sim);
        if (wake.changes.load(std::memory_order_acquire) != changes)
            continue;
        const timespec ts{static_cast<time_t>(sleep_us / 1'000'000),
                          static_cast<long>(sleep_us % 1'000'000 * 1000)};
        syscall(SYS_futex, &wake.changes, FUTEX_WAIT, changes, &ts, nullptr, 0);
    }
    return nullptr;
}

std::atomic<bool> g_helper_started{false};

void after_fork_in_child() {
    g_helper_started.store(false);
    for (NodeSlot &s : g_nodes)
        s.users.store(0);
}

// Starts the helper of this process, once (again in a child made by fork(), which has no
// threads but the one that forked).
void ensure_helper(Simulator &sim) {
    if (g_helper_started.load(std::memory_order_acquire) || g_helper_started.exchange(true))
        return;
    static std::atomic<bool> registered{false};
    if (!registered.exchange(true))
        pthread_atfork(nullptr, nullptr, after_fork_in_child);
    sigset_t all;
    sigfillset(&all);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // No signal of the program's reaches the helper: they go to the program's threads.
    pthread_attr_setsigmask_np(&attr, &all);
    pthread_t t;
    if (pthread_create(&t, &attr, helper_main, nullptr) == 0) {
        sim.interrupt_wake().helpers.fetch_add(1);
    } else {
        static constexpr char kSay[] =
            "korvic_sim: cannot start the interrupt node's helper thread; the node wakes "
            "only for another process's interrupts\n";
        (void)!next(g_write, "write")(2, kSay, sizeof kSay - 1);
    }
    pthread_attr_destroy(&attr);
}

// The process waits on node `fd` of board `k` (blocking: it may sleep there). On a virtual
// clock, a wait that would sleep moves the board's clock to its next scheduled event.
void before_wait(int fd, int k, bool blocking) {
    Simulator *sim = simulator();
    if (sim == nullptr)
        return;
    ensure_helper(*sim);
    if (!blocking || sim->virtual_clock(k) == nullptr)
        return;
    pollfd p{fd, POLLIN, 0};
    if (next(g_poll, "poll")(&p, 1, 0) > 0)
        return;  // an interrupt is there to be read
    if (sim->skip_to_next_event(k))
        forward_all(*sim);
}

void before_poll(const struct pollfd *fds, nfds_t n, bool blocking) {
    for (nfds_t i = 0; i < n; ++i)
        if ((fds[i].events & POLLIN) != 0)
            if (const int k = board_of_node(fds[i].fd); k > 0)
                before_wait(fds[i].fd, k, blocking);
}

void before_select(int n, const fd_set *readable, bool blocking) {
    for (int fd = 0; readable != nullptr && fd < n && fd < FD_SETSIZE; ++fd)
        if (FD_ISSET(fd, readable))
            if (const int k = board_of_node(fd); k > 0)
                before_wait(fd, k, blocking);
}

bool blocks(const struct timespec *ts) {
    return ts == nullptr || ts->tv_sec != 0 || ts->tv_nsec != 0;
}

ssize_t read_node(int fd, int k, void *buf, size_t n) {
    if (n != sizeof(std::uint32_t)) {
        errno = EINVAL;
        return -1;
    }
    // Whether the read may sleep matters only to a virtual clock.
    const bool virtual_clock = simulator()->virtual_clock(k) != nullptr;
    const int flags = virtual_clock ? fcntl(fd, F_GETFL) : 0;
    before_wait(fd, k, flags >= 0 && (flags & O_NONBLOCK) == 0);
    // A real read of the eventfd: it blocks, and a signal interrupts it, as on the kernel's
    // node.
    std::uint64_t pending = 0;
    if (next(g_read, "read")(fd, &pending, sizeof pending) < 0)
        return -1;
    const std::uint32_t count = simulator()->interrupt(k).count();
    std::memcpy(buf, &count, sizeof count);
    return sizeof count;
}

ssize_t write_node(int k, const void *buf, size_t n) {
    std::int32_t on = -1;
    if (n == sizeof on)
        std::memcpy(&on, buf, sizeof on);
    if (on != 0 && on != 1) {
        errno = EINVAL;
        return -1;
    }
    simulator()->control_interrupt(k, on == 1);
    return sizeof on;
}

}  // namespace

int open_node(int board, int flags) {
    const int fd = eventfd(0, ((flags & O_NONBLOCK) != 0 ? EFD_NONBLOCK : 0) |
                                  ((flags & O_CLOEXEC) != 0 ? EFD_CLOEXEC : 0));
    if (fd < 0)
        return -1;
    Simulator *sim = simulator();
    for (NodeSlot &s : g_nodes) {
        int free = 0;
        if (!s.board.compare_exchange_strong(free, board))
            continue;
        const int index = static_cast<int>(&s - g_nodes);
        int used = g_used.load();
        while (used <= index && !g_used.compare_exchange_weak(used, index + 1)) {
        }
        // What the board counted before the open is not this open's to see.
        s.seen.store(sim != nullptr ? sim->interrupt(board).count() : 0);
        s.fd.store(fd);
        return fd;
    }
    close(fd);
    errno = EMFILE;
    return -1;
}

void forget(int fd) {
    const int used = g_used.load();
    for (int i = 0; i < used; ++i) {
        NodeSlot &s = g_nodes[i];
        int expected = fd;
        if (fd < 0 || !s.fd.compare_exchange_strong(expected, -1))
            continue;
        while (s.users.load() != 0)
            sched_yield();
        s.board.store(0);
    }
}

void kick() {
    if (Simulator *sim = simulator())
        wake_helpers(sim->interrupt_wake());
}

}  // namespace korvic::sim::uio

using korvic::sim::uio::board_of_node;

extern "C" {

// The C library declares these with reserved parameter names; ours are plain.
// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)

__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t n) {
    if (const int k = board_of_node(fd); k > 0)
        return korvic::sim::uio::read_node(fd, k, buf, n);
    return korvic::sim::uio::next(korvic::sim::uio::g_read, "read")(fd, buf, n);
}

// The fortified form that _FORTIFY_SOURCE builds call in place of read.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) ssize_t __read_chk(int fd, void *buf, size_t n,
                                                          size_t buflen) {
    if (const int k = board_of_node(fd); k > 0 && n <= buflen)
        return korvic::sim::uio::read_node(fd, k, buf, n);
    return korvic::sim::uio::next(korvic::sim::uio::g_read_chk, "__read_chk")(fd, buf, n, buflen);
}

__attribute__((visibility("default"))) ssize_t write(int fd, const void *buf, size_t n) {
    if (const int k = board_of_node(fd); k > 0)
        return korvic::sim::uio::write_node(k, buf, n);
    return korvic::sim::uio::next(korvic::sim::uio::g_write, "write")(fd, buf, n);
}

// The C library declares poll's array write-only (the kernel fills in revents), but poll
// reads its fds and events too, as before_poll does.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

__attribute__((visibility("default"))) int poll(struct pollfd *fds, nfds_t n, int timeout) {
    korvic::sim::uio::before_poll(fds, n, timeout != 0);
    return korvic::sim::uio::next(korvic::sim::uio::g_poll, "poll")(fds, n, timeout);
}

__attribute__((visibility("default"))) int ppoll(struct pollfd *fds, nfds_t n,
                                                 const struct timespec *timeout,
                                                 const sigset_t *mask) {
    korvic::sim::uio::before_poll(fds, n, korvic::sim::uio::blocks(timeout));
    return korvic::sim::uio::next(korvic::sim::uio::g_ppoll, "ppoll")(fds, n, timeout, mask);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __poll_chk(struct pollfd *fds, nfds_t n, int timeout,
                                                      size_t fdslen) {
    korvic::sim::uio::before_poll(fds, std::min<nfds_t>(n, fdslen / sizeof *fds), timeout != 0);
    return korvic::sim::uio::next(korvic::sim::uio::g_poll_chk, "__poll_chk")(fds, n, timeout,
                                                                              fdslen);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the C library's name
__attribute__((visibility("default"))) int __ppoll_chk(struct pollfd *fds, nfds_t n,
                                                       const struct timespec *timeout,
                                                       const sigset_t *mask, size_t fdslen) {
    korvic::sim::uio::before_poll(fds, std::min<nfds_t>(n, fdslen / sizeof *fds),
                                  korvic::sim::uio::blocks(timeout));
    return korvic::sim::uio::next(korvic::sim::uio::g_ppoll_chk, "__ppoll_chk")(fds, n, timeout,
                                                                                mask, fdslen);
}

#pragma GCC diagnostic pop

__attribute__((visibility("default"))) int select(int n, fd_set *readable, fd_set *writable,
                                                  fd_set *exceptional, struct timeval *timeout) {
    korvic::sim::uio::before_select(
        n, readable, timeout == nullptr || timeout->tv_sec != 0 || timeout->tv_usec != 0);
    return korvic::sim::uio::next(korvic::sim::uio::g_select, "select")(n, readable, writable,
                                                                        exceptional, timeout);
}

__attribute__((visibility("default"))) int pselect(int n, fd_set *readable, fd_set *writable,
                                                   fd_set *exceptional,
                                                   const struct timespec *timeout,
                                                   const sigset_t *mask) {
    korvic::sim::uio::before_select(n, readable, korvic::sim::uio::blocks(timeout));
    return korvic::sim::uio::next(korvic::sim::uio::g_pselect, "pselect")(
        n, readable, writable, exceptional, timeout, mask);
}

__attribute__((visibility("default"))) int epoll_ctl(int epfd, int op, int fd,
                                                     struct epoll_event *event) {
    if (op == EPOLL_CTL_ADD || op == EPOLL_CTL_MOD)
        if (board_of_node(fd) > 0)
            if (korvic::sim::Simulator *sim = korvic::sim::uio::simulator())
                korvic::sim::uio::ensure_helper(*sim);
    return korvic::sim::uio::next(korvic::sim::uio::g_epoll_ctl, "epoll_ctl")(epfd, op, fd, event);
}

// NOLINTEND(readability-inconsistent-declaration-parameter-name)

}  // extern "C"
