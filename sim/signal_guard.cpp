// Guarded signals: the simulator's handler in the kernel, the program's disposition and
// mask kept beside it.
#include "signal_guard.h"

#include <dlfcn.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace korvic::sim {
namespace {

// Linux numbers its signals 1..64; a 64-bit word holds a set of them.
constexpr int kMaxSignal = 64;
static_assert(NSIG - 1 == kMaxSignal, "one bit per signal");

constexpr std::uint64_t bit(int sig) {
    return std::uint64_t{1} << (sig - 1);
}
constexpr bool valid(int sig) {
    return sig >= 1 && sig <= kMaxSignal;
}

std::uint64_t bits_of(const sigset_t &set) {
    std::uint64_t out = 0;
    for (int sig = 1; sig <= kMaxSignal; ++sig)
        if (sigismember(&set, sig) == 1)
            out |= bit(sig);
    return out;
}
void add_bits(sigset_t &set, std::uint64_t bits) {
    for (int sig = 1; sig <= kMaxSignal; ++sig)
        if (bits & bit(sig))
            sigaddset(&set, sig);
}
void remove_bits(sigset_t &set, std::uint64_t bits) {
    for (int sig = 1; sig <= kMaxSignal; ++sig)
        if (bits & bit(sig))
            sigdelset(&set, sig);
}

// ---------------------------------------------------------------------------------------
// The C library's own functions, past the preload library's definitions of the same names.
// Resolved once, outside any signal handler (guard_signal resolves them first).
// ---------------------------------------------------------------------------------------

struct Libc {
    int (*sigaction)(int, const struct sigaction *, struct sigaction *);
    int (*thread_mask)(int, const sigset_t *, sigset_t *);
    int (*sigsuspend)(const sigset_t *);
    int (*sigpending)(sigset_t *);
};

template <typename Fn>
void resolve(Fn *fn, const char *name) {
    *fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
    if (*fn == nullptr) {
        static constexpr char kMsg[] = "korvic_sim: cannot find the C library's signal calls\n";
        (void)!write(2, kMsg, sizeof kMsg - 1);
        std::abort();
    }
}

const Libc &libc() {
    static const Libc fns = [] {
        Libc l{};
        resolve(&l.sigaction, "sigaction");
        resolve(&l.thread_mask, "pthread_sigmask");
        resolve(&l.sigsuspend, "sigsuspend");
        resolve(&l.sigpending, "sigpending");
        return l;
    }();
    return fns;
}

// ---------------------------------------------------------------------------------------
// State.
// ---------------------------------------------------------------------------------------

// A copy of the program's disposition of one signal.
struct Action {
    std::uintptr_t handler = 0;  // sa_handler or sa_sigaction; SIG_DFL and SIG_IGN as such
    int flags = 0;
    std::uint64_t mask = 0;
};

const auto kDefault = reinterpret_cast<std::uintptr_t>(SIG_DFL);
const auto kIgnore = reinterpret_cast<std::uintptr_t>(SIG_IGN);

bool is_handler(const Action &a) {
    return a.handler != kDefault && a.handler != kIgnore;
}

// The program's disposition of a guarded signal, read by the handlers without locks: a
// sequence count, odd while a writer is at work.
struct ProgramAction {
    std::atomic<unsigned> seq{0};
    std::atomic<std::uintptr_t> handler{0};
    std::atomic<int> flags{0};
    std::atomic<std::uint64_t> mask{0};
};

ProgramAction g_actions[kMaxSignal + 1];
std::atomic<GuardHook> g_hooks[kMaxSignal + 1];
std::atomic<GuardKind> g_kinds[kMaxSignal + 1];
std::atomic<std::uint64_t> g_guarded{0};
// Guarded signals sent while the program blocked them, kept until it unblocks them.
std::atomic<std::uint64_t> g_pending{0};
// Guarded signals that the program put into the sa_mask of another signal's handler: kept
// out of the kernel's copy, reported back.
std::atomic<std::uint64_t> g_handler_mask_guarded[kMaxSignal + 1];

std::atomic_flag g_writing = ATOMIC_FLAG_INIT;
std::mutex g_guard_mutex;  // guard_signal only, never taken in a handler

// The guarded signals that the program blocks in this thread, and those that this thread
// is handing back to itself with raise() (see deliver_pending). Initial-exec TLS: plain
// memory accesses, safe in a signal handler.
#define KORVIC_TLS thread_local __attribute__((tls_model("initial-exec")))
KORVIC_TLS std::atomic<std::uint64_t> t_blocked{0};
KORVIC_TLS std::atomic<std::uint64_t> t_redelivering{0};

Action read_action(int sig) {
    const ProgramAction &p = g_actions[sig];
    for (;;) {
        const unsigned before = p.seq.load(std::memory_order_acquire);
        Action a;
        a.handler = p.handler.load(std::memory_order_relaxed);
        a.flags = p.flags.load(std::memory_order_relaxed);
        a.mask = p.mask.load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if ((before & 1u) == 0 && p.seq.load(std::memory_order_relaxed) == before)
            return a;
    }
}

// Signals are blocked while writing, so that no handler of this thread can wait on a
// half-written disposition; writers of other threads wait their turn.
void write_action(int sig, const Action &a) {
    sigset_t all, saved;
    sigfillset(&all);
    libc().thread_mask(SIG_BLOCK, &all, &saved);
    while (g_writing.test_and_set(std::memory_order_acquire)) {
    }
    ProgramAction &p = g_actions[sig];
    const unsigned s = p.seq.load(std::memory_order_relaxed);
    p.seq.store(s + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    p.handler.store(a.handler, std::memory_order_relaxed);
    p.flags.store(a.flags, std::memory_order_relaxed);
    p.mask.store(a.mask, std::memory_order_relaxed);
    p.seq.store(s + 2, std::memory_order_release);
    g_writing.clear(std::memory_order_release);
    libc().thread_mask(SIG_SETMASK, &saved, nullptr);
}

Action action_of(const struct sigaction &sa) {
    Action a;
    a.handler = reinterpret_cast<std::uintptr_t>(sa.sa_handler);
    a.flags = sa.sa_flags;
    a.mask = bits_of(sa.sa_mask);
    return a;
}

void fill(struct sigaction *out, const Action &a) {
    std::memset(out, 0, sizeof *out);
    out->sa_handler = reinterpret_cast<sighandler_t>(a.handler);
    out->sa_flags = a.flags;
    sigemptyset(&out->sa_mask);
    add_bits(out->sa_mask, a.mask);
}

// ---------------------------------------------------------------------------------------
// The kernel's side.
// ---------------------------------------------------------------------------------------

void on_guarded_signal(int sig, siginfo_t *info, void *ctx);

// Synchronous signals stay deliverable inside the simulator's handlers: SIGSEGV and SIGTRAP
// because a register access or a single step may happen there, the others so that a fault
// of the simulator itself is reported as such.
void remove_synchronous(sigset_t &set) {
    for (int sig : {SIGSEGV, SIGTRAP, SIGBUS, SIGILL, SIGFPE})
        sigdelset(&set, sig);
}

// The simulator's handler, with the program's SA_RESTART and SA_ONSTACK when it has a
// handler (they decide whether an interrupted call restarts, and on which stack the
// handlers run). Every other signal waits while the simulator serves an access.
void install_kernel_handler(int sig) {
    const Action a = read_action(sig);
    struct sigaction sa {};
    sa.sa_sigaction = on_guarded_signal;
    sigfillset(&sa.sa_mask);
    remove_synchronous(sa.sa_mask);
    sa.sa_flags = SA_SIGINFO | SA_NODEFER |
                  (is_handler(a) ? a.flags & (SA_RESTART | SA_ONSTACK) : SA_RESTART);
    libc().sigaction(sig, &sa, nullptr);
}

// The default action of `sig`, now. For a fault the processor raised, returning is enough:
// the instruction runs again and faults with no handler in the way.
void take_default_action(int sig, bool refaults) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    libc().sigaction(sig, &dfl, nullptr);
    if (refaults)
        return;
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    libc().thread_mask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    // Still here: this signal's default is to be ignored, or it stopped the process and the
    // process has been continued. The simulator keeps the signal.
    install_kernel_handler(sig);
}

void call_program_handler(int sig, const Action &a, siginfo_t *info, void *ctx, int saved_errno) {
    if (a.flags & SA_RESETHAND) {
        Action reset = a;
        reset.handler = kDefault;
        write_action(sig, reset);
        install_kernel_handler(sig);
    }
    // The mask of the interrupted code plus the handler's own, less the guarded signals.
    sigset_t mask;
    sigemptyset(&mask);
    if (ctx != nullptr)
        add_bits(mask, bits_of(static_cast<ucontext_t *>(ctx)->uc_sigmask));
    add_bits(mask, a.mask);
    remove_bits(mask, g_guarded.load(std::memory_order_relaxed));
    libc().thread_mask(SIG_SETMASK, &mask, nullptr);
    errno = saved_errno;
    if (a.flags & SA_SIGINFO)
        reinterpret_cast<void (*)(int, siginfo_t *, void *)>(a.handler)(sig, info, ctx);
    else
        reinterpret_cast<void (*)(int)>(a.handler)(sig);
}

// A guarded signal that the simulator's hook left to the program.
void deliver(int sig, siginfo_t *info, void *ctx, int saved_errno) {
    const Action a = read_action(sig);
    const GuardKind kind = g_kinds[sig].load(std::memory_order_relaxed);
    if (kind == GuardKind::Trigger && !is_handler(a))
        return;
    const bool blocked = (t_blocked.load(std::memory_order_relaxed) & bit(sig)) != 0;
    // si_code > 0: raised by the kernel for the instruction that was running.
    const bool forced = kind == GuardKind::Fault && info != nullptr && info->si_code > 0;
    if (forced) {
        if (blocked || !is_handler(a)) {
            take_default_action(sig, sig == SIGSEGV);
            return;
        }
    } else {
        if (a.handler == kIgnore)
            return;
        if (blocked) {
            g_pending.fetch_or(bit(sig), std::memory_order_relaxed);
            return;
        }
        if (a.handler == kDefault) {
            take_default_action(sig, false);
            return;
        }
    }
    call_program_handler(sig, a, info, ctx, saved_errno);
}

void on_guarded_signal(int sig, siginfo_t *info, void *ctx) {
    const int saved_errno = errno;
    const std::uint64_t b = bit(sig);
    // A signal kept for the program and raised again by deliver_pending: the simulator has
    // had its part already.
    const bool handed_back = (t_redelivering.load(std::memory_order_relaxed) & b) != 0 &&
                             info != nullptr && info->si_code == SI_TKILL &&
                             info->si_pid == getpid();
    if (handed_back) {
        t_redelivering.fetch_and(~b, std::memory_order_relaxed);
    } else {
        const GuardHook hook = g_hooks[sig].load(std::memory_order_acquire);
        if (hook != nullptr && hook(sig, info, ctx)) {
            errno = saved_errno;
            return;
        }
    }
    deliver(sig, info, ctx, saved_errno);
    errno = saved_errno;
}

// Hands the program the signals kept for it that its mask in this thread now lets
// through, before the call that unblocked them returns (as the kernel does).
void deliver_pending() {
    const std::uint64_t open = ~t_blocked.load(std::memory_order_relaxed);
    std::uint64_t pending = g_pending.load(std::memory_order_relaxed);
    std::uint64_t take = 0;
    do {
        take = pending & open;
        if (take == 0)
            return;
    } while (!g_pending.compare_exchange_weak(pending, pending & ~take, std::memory_order_relaxed));
    for (int sig = 1; sig <= kMaxSignal; ++sig) {
        if (take & bit(sig)) {
            t_redelivering.fetch_or(bit(sig), std::memory_order_relaxed);
            raise(sig);
        }
    }
}

}  // namespace

int guard_signal(int sig, GuardKind kind, GuardHook hook) {
    if (!valid(sig) || sig == SIGKILL || sig == SIGSTOP)
        return EINVAL;
    std::lock_guard<std::mutex> lock(g_guard_mutex);
    const Libc &c = libc();
    if (g_guarded.load() & bit(sig)) {
        const bool same = g_hooks[sig].load() == hook && g_kinds[sig].load() == kind;
        return same ? 0 : EBUSY;
    }
    struct sigaction current {};
    if (c.sigaction(sig, nullptr, &current) != 0)
        return errno;
    write_action(sig, action_of(current));
    g_kinds[sig].store(kind);
    g_hooks[sig].store(hook, std::memory_order_release);
    g_guarded.fetch_or(bit(sig));
    install_kernel_handler(sig);
    sigset_t one, before;
    sigemptyset(&one);
    sigaddset(&one, sig);
    c.thread_mask(SIG_UNBLOCK, &one, &before);
    if (sigismember(&before, sig) == 1)
        t_blocked.fetch_or(bit(sig));
    return 0;
}

bool is_guarded(int sig) {
    return valid(sig) && (g_guarded.load(std::memory_order_relaxed) & bit(sig)) != 0;
}

bool program_has_handler(int sig) {
    return is_guarded(sig) && is_handler(read_action(sig));
}

int program_sigaction(int sig, const struct sigaction *act, struct sigaction *old) {
    const Libc &c = libc();
    if (!valid(sig))
        return c.sigaction(sig, act, old);
    if (!is_guarded(sig)) {
        // Copied first: `act` and `old` may be the same object.
        struct sigaction pass {};
        std::uint64_t guarded_in_mask = 0;
        if (act != nullptr) {
            pass = *act;
            guarded_in_mask = bits_of(pass.sa_mask) & g_guarded.load();
            remove_bits(pass.sa_mask, guarded_in_mask);
        }
        const std::uint64_t before = g_handler_mask_guarded[sig].load();
        if (c.sigaction(sig, act != nullptr ? &pass : nullptr, old) != 0)
            return -1;
        if (old != nullptr)
            add_bits(old->sa_mask, before);
        if (act != nullptr)
            g_handler_mask_guarded[sig].store(guarded_in_mask);
        return 0;
    }
    const Action next = act != nullptr ? action_of(*act) : Action{};
    if (old != nullptr)
        fill(old, read_action(sig));
    if (act != nullptr) {
        write_action(sig, next);
        install_kernel_handler(sig);
        if (next.handler == kIgnore)
            g_pending.fetch_and(~bit(sig));  // an ignored signal does not stay pending
    }
    return 0;
}

int program_sigmask(int how, const sigset_t *set, sigset_t *old) {
    const Libc &c = libc();
    const std::uint64_t guarded = g_guarded.load();
    const std::uint64_t blocked = t_blocked.load();
    sigset_t pass;
    std::uint64_t named = 0;
    if (set != nullptr) {
        if (how != SIG_BLOCK && how != SIG_UNBLOCK && how != SIG_SETMASK)
            return EINVAL;
        pass = *set;
        named = bits_of(pass) & guarded;
        remove_bits(pass, guarded);
    }
    const int e = c.thread_mask(how, set != nullptr ? &pass : nullptr, old);
    if (e != 0)
        return e;
    if (old != nullptr) {
        remove_bits(*old, guarded);
        add_bits(*old, blocked);
    }
    if (set != nullptr) {
        const std::uint64_t now = how == SIG_BLOCK     ? blocked | named
                                  : how == SIG_UNBLOCK ? blocked & ~named
                                                       : named;
        t_blocked.store(now);
        if (g_pending.load() & ~now)
            deliver_pending();
    }
    return 0;
}

int program_sigsuspend(const sigset_t *mask) {
    const Libc &c = libc();
    const std::uint64_t guarded = g_guarded.load();
    // No guarded signal is handled between here and the wait, so that none slips by with
    // the old mask; the wait lets them through atomically.
    sigset_t hold, saved;
    sigemptyset(&hold);
    add_bits(hold, guarded);
    c.thread_mask(SIG_BLOCK, &hold, &saved);
    const std::uint64_t blocked = t_blocked.load();
    sigset_t wait = *mask;
    const std::uint64_t named = bits_of(wait) & guarded;
    remove_bits(wait, guarded);
    t_blocked.store(named);
    int result = -1;
    if (g_pending.load() & ~named) {
        // A signal kept for the program gets through this mask: it ends the wait at once.
        c.thread_mask(SIG_SETMASK, &wait, nullptr);
        deliver_pending();
        errno = EINTR;
    } else {
        result = c.sigsuspend(&wait);
    }
    const int e = errno;
    t_blocked.store(blocked);
    c.thread_mask(SIG_SETMASK, &saved, nullptr);
    errno = e;
    return result;
}

int program_sigpending(sigset_t *set) {
    if (libc().sigpending(set) != 0)
        return -1;
    const std::uint64_t guarded = g_guarded.load();
    remove_bits(*set, guarded);
    add_bits(*set, g_pending.load() & guarded);
    return 0;
}

}  // namespace korvic::sim
