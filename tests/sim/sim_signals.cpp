// A program with signal handling of its own, run under korvic_sim by the end-to-end tests.
// Each case does what a program may do on a real board (its own SIGSEGV or SIGTRAP
// handler, signals blocked around register accesses, an int3, a handler for the external
// event signal) and checks that it works as it would there, and that the program's view of
// its handlers and its mask is what it set. It prints what it saw; on the first mismatch
// it prints "FAIL: ..." and exits with status 1.
//
// Usage: sim_signals CASE [VARIANT]
//   own-segv sigaction|signal|ssignal|bsd_signal|sysv_signal|__sysv_signal|sigset
//   block-all sigprocmask|pthread_sigmask|sigblock|sighold
//   trap-blocked | handler-mask | int3 | fault default|ignored [unattached]
//   ext-handler after|before   (run with --ext-signal USR1)
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "korvic_api.h"

// Declared by <signal.h> only for some feature sets; the C library has it.
extern "C" sighandler_t bsd_signal(int, sighandler_t);

// Old programs still use the System V and BSD calls that the C library marks deprecated;
// they are exercised here on purpose.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

[[noreturn]] void fail(const char *what) {
    std::printf("FAIL: %s\n", what);
    std::fflush(stdout);
    std::_Exit(1);
}

void check(bool ok, const char *what) {
    if (!ok)
        fail(what);
}

void attach() {
    check(init_847() == 0, "init_847");
}

// A page that no access may touch: a real fault outside the simulator's windows.
volatile int *protected_page() {
    static void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    check(page != MAP_FAILED, "mmap a protected page");
    return static_cast<volatile int *>(page);
}

sigjmp_buf g_env;
volatile sig_atomic_t g_caught = 0;
void *volatile g_fault_addr = reinterpret_cast<void *>(1);

void on_segv_plain(int) {
    g_caught = g_caught + 1;
    siglongjmp(g_env, 1);
}

void on_segv_info(int, siginfo_t *info, void *) {
    g_caught = g_caught + 1;
    g_fault_addr = info->si_addr;
    siglongjmp(g_env, 1);
}

bool fault_caught() {
    if (sigsetjmp(g_env, 1) == 0) {
        (void)*protected_page();
        return false;
    }
    return true;
}

// One word read (emulated), one byte read (single-stepped), one word write: the diagnostic
// word, its byte 2 (0x47), and the local offset register back.
void touch_registers(const char *when) {
    std::uint32_t diag = 0;
    read_diag_reg(&diag);
    const std::uint8_t byte = kv_mem[0x11E];
    const std::uint32_t offset = 0x1234;
    write_local_offset_reg(&offset);
    std::uint32_t back = 0;
    read_local_offset_reg(&back);
    if (diag != 0x08470101u || byte != 0x47 || back != offset) {
        std::printf("FAIL: registers %s: diag 0x%08x byte 0x%02x offset 0x%x\n", when, diag, byte,
                    back);
        std::exit(1);
    }
}

struct sigaction action_now(int sig) {
    struct sigaction cur {};
    check(sigaction(sig, nullptr, &cur) == 0, "query sigaction");
    return cur;
}

sighandler_t handler_now(int sig) {
    return action_now(sig).sa_handler;
}

int own_segv(const char *how) {
    // What was there before the simulator (the default, or a sanitizer's handler).
    const sighandler_t at_start = handler_now(SIGSEGV);
    attach();
    const bool oneshot =
        std::strcmp(how, "sysv_signal") == 0 || std::strcmp(how, "__sysv_signal") == 0;
    sighandler_t previous = SIG_ERR;
    if (std::strcmp(how, "sigaction") == 0) {
        struct sigaction sa {};
        sa.sa_sigaction = on_segv_info;
        sa.sa_flags = SA_SIGINFO;
        struct sigaction old {};
        check(sigaction(SIGSEGV, &sa, &old) == 0, "sigaction");
        previous = old.sa_handler;
    } else if (std::strcmp(how, "signal") == 0) {
        previous = signal(SIGSEGV, on_segv_plain);
    } else if (std::strcmp(how, "ssignal") == 0) {
        previous = ssignal(SIGSEGV, on_segv_plain);
    } else if (std::strcmp(how, "bsd_signal") == 0) {
        previous = bsd_signal(SIGSEGV, on_segv_plain);
    } else if (std::strcmp(how, "sysv_signal") == 0) {
        previous = sysv_signal(SIGSEGV, on_segv_plain);
    } else if (std::strcmp(how, "__sysv_signal") == 0) {
        previous = __sysv_signal(SIGSEGV, on_segv_plain);
    } else if (std::strcmp(how, "sigset") == 0) {
        previous = sigset(SIGSEGV, on_segv_plain);
    } else {
        fail("unknown way to install a handler");
    }
    check(previous == at_start, "the previous handler reported is the one from before");
    if (std::strcmp(how, "sigaction") == 0) {
        const struct sigaction now = action_now(SIGSEGV);
        check(now.sa_sigaction == on_segv_info && (now.sa_flags & SA_SIGINFO) != 0,
              "sigaction reports the program's handler");
    } else {
        check(handler_now(SIGSEGV) == on_segv_plain, "sigaction reports the program's handler");
    }

    touch_registers("with a SIGSEGV handler");
    check(g_caught == 0, "register accesses reached the program's SIGSEGV handler");

    check(fault_caught(), "first fault caught");
    if (std::strcmp(how, "sigaction") == 0)
        check(g_fault_addr == protected_page(), "fault address reported");
    if (oneshot) {
        // A one-shot handler: the disposition is back to the default after one signal.
        check(handler_now(SIGSEGV) == SIG_DFL, "one-shot handler reset");
    } else {
        check(fault_caught(), "second fault caught");
        touch_registers("after two faults");
    }
    std::printf("faults caught %d, register accesses served\n", static_cast<int>(g_caught));
    return 0;
}

bool blocked_now(int sig) {
    sigset_t cur;
    check(sigprocmask(SIG_BLOCK, nullptr, &cur) == 0, "query sigprocmask");
    return sigismember(&cur, sig) == 1;
}

int block_all(const char *how) {
    attach();
    sigset_t all, old;
    sigfillset(&all);
    sigemptyset(&old);
    int old_bsd = 0;
    if (std::strcmp(how, "sigprocmask") == 0)
        check(sigprocmask(SIG_BLOCK, &all, &old) == 0, "sigprocmask");
    else if (std::strcmp(how, "pthread_sigmask") == 0)
        check(pthread_sigmask(SIG_BLOCK, &all, &old) == 0, "pthread_sigmask");
    else if (std::strcmp(how, "sigblock") == 0)
        old_bsd = sigblock(~0);
    else if (std::strcmp(how, "sighold") == 0)
        check(sighold(SIGSEGV) == 0 && sighold(SIGTRAP) == 0, "sighold");
    else
        fail("unknown way to block signals");

    std::int32_t t[7] = {};
    snapshot_time(3, t);
    touch_registers("with signals blocked");
    check(blocked_now(SIGSEGV) && blocked_now(SIGTRAP), "the mask reports SIGSEGV and SIGTRAP");
    if (std::strcmp(how, "sighold") != 0)
        check(blocked_now(SIGINT) && blocked_now(SIGUSR1), "the mask reports the others");

    if (std::strcmp(how, "sigblock") == 0)
        sigsetmask(old_bsd);
    else if (std::strcmp(how, "sighold") == 0)
        check(sigrelse(SIGSEGV) == 0 && sigrelse(SIGTRAP) == 0, "sigrelse");
    else
        check(sigprocmask(SIG_SETMASK, &old, nullptr) == 0, "restore the mask");
    check(!blocked_now(SIGSEGV) && !blocked_now(SIGTRAP) && !blocked_now(SIGINT),
          "the mask is restored");
    std::printf("time %04d-%03d read with signals blocked\n", t[6], t[5]);
    return 0;
}

int trap_blocked() {
    attach();
    sigset_t trap;
    sigemptyset(&trap);
    sigaddset(&trap, SIGTRAP);
    check(sigprocmask(SIG_BLOCK, &trap, nullptr) == 0, "block SIGTRAP");
    const std::uint8_t byte = kv_mem[0x11F];
    check(blocked_now(SIGTRAP), "SIGTRAP reported blocked");
    std::printf("byte 0x%02x\n", byte);
    return 0;
}

// A handler whose mask holds every signal, doing register accesses.
volatile sig_atomic_t g_masked_handler_ran = 0;
void on_usr2_reads(int) {
    touch_registers("in a handler that masks every signal");
    g_masked_handler_ran = 1;
}

int handler_mask() {
    attach();
    struct sigaction sa {};
    sa.sa_handler = on_usr2_reads;
    sigfillset(&sa.sa_mask);
    check(sigaction(SIGUSR2, &sa, nullptr) == 0, "sigaction SIGUSR2");
    struct sigaction seen {};
    check(sigaction(SIGUSR2, nullptr, &seen) == 0, "query SIGUSR2");
    check(seen.sa_handler == on_usr2_reads, "handler reported");
    check(sigismember(&seen.sa_mask, SIGSEGV) == 1 && sigismember(&seen.sa_mask, SIGTRAP) == 1 &&
              sigismember(&seen.sa_mask, SIGINT) == 1,
          "the handler's mask is reported as set");
    raise(SIGUSR2);
    check(g_masked_handler_ran == 1, "handler ran");
    std::printf("handler with a full mask read the registers\n");
    return 0;
}

volatile sig_atomic_t g_traps = 0;
volatile int g_last_trap_code = 0;
void on_trap(int, siginfo_t *info, void *) {
    g_traps = g_traps + 1;
    g_last_trap_code = info->si_code;
}

int int3() {
    attach();
    struct sigaction sa {};
    sa.sa_sigaction = on_trap;
    sa.sa_flags = SA_SIGINFO;
    check(sigaction(SIGTRAP, &sa, nullptr) == 0, "sigaction SIGTRAP");
    touch_registers("with a SIGTRAP handler");
    check(g_traps == 0, "single steps reached the program's SIGTRAP handler");

    raise(SIGTRAP);
    check(g_traps == 1 && g_last_trap_code == SI_TKILL, "raise(SIGTRAP) reached the handler");
    asm volatile("int3");
    check(g_traps == 2 && g_last_trap_code == SI_KERNEL, "int3 reached the handler");

    // Blocked, a sent SIGTRAP waits for the program to unblock it.
    sigset_t trap, old;
    sigemptyset(&trap);
    sigaddset(&trap, SIGTRAP);
    check(sigprocmask(SIG_BLOCK, &trap, &old) == 0, "block SIGTRAP");
    raise(SIGTRAP);
    check(g_traps == 2, "a blocked SIGTRAP reached the handler");
    sigset_t pending;
    check(sigpending(&pending) == 0 && sigismember(&pending, SIGTRAP) == 1,
          "sigpending shows SIGTRAP");
    touch_registers("with SIGTRAP pending");
    check(sigprocmask(SIG_SETMASK, &old, nullptr) == 0, "unblock SIGTRAP");
    check(g_traps == 3, "the pending SIGTRAP arrived on unblocking");
    std::printf("traps %d\n", static_cast<int>(g_traps));
    return 0;
}

// Faults outside the windows, with the default action or ignored: the process dies of
// SIGSEGV either way, as it does without the simulator ("unattached": run without it).
int fault(const char *disposition, bool attached) {
    if (attached)
        attach();
    if (std::strcmp(disposition, "ignored") == 0)
        signal(SIGSEGV, SIG_IGN);
    if (attached)
        touch_registers("before the fault");
    std::printf("faulting\n");
    std::fflush(stdout);
    (void)*protected_page();
    std::printf("survived a fault\n");
    return 0;
}

volatile sig_atomic_t g_usr1 = 0;
void on_usr1(int) {
    g_usr1 = g_usr1 + 1;
}

// The board's count of captured external events, in bits 7..4 of its second word.
unsigned board_event_count() {
    return (base_addr[0x178 / 4] >> 4) & 0xF;
}

int ext_handler(const char *when) {
    const bool before = std::strcmp(when, "before") == 0;
    struct sigaction sa {};
    sa.sa_handler = on_usr1;
    sa.sa_flags = SA_RESTART;
    if (before)
        check(sigaction(SIGUSR1, &sa, nullptr) == 0, "sigaction SIGUSR1");
    attach();
    if (!before)
        check(sigaction(SIGUSR1, &sa, nullptr) == 0, "sigaction SIGUSR1");
    check(handler_now(SIGUSR1) == on_usr1, "sigaction reports the program's handler");

    raise(SIGUSR1);
    check(g_usr1 == 1, "the program's handler ran");
    check(board_event_count() == 1, "the board captured the event");

    // Blocked: the board still captures it; the program's handler waits for the unblocking.
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    check(sigprocmask(SIG_BLOCK, &usr1, &old) == 0, "block SIGUSR1");
    raise(SIGUSR1);
    check(board_event_count() == 2, "the board captured the event while blocked");
    check(g_usr1 == 1, "the handler ran while blocked");
    sigset_t pending;
    check(sigpending(&pending) == 0 && sigismember(&pending, SIGUSR1) == 1,
          "sigpending shows SIGUSR1");
    check(blocked_now(SIGUSR1), "the mask reports SIGUSR1");
    check(sigprocmask(SIG_SETMASK, &old, nullptr) == 0, "unblock SIGUSR1");
    check(g_usr1 == 2, "the pending signal reached the handler on unblocking");

    // Waiting for it with sigsuspend.
    check(sigprocmask(SIG_BLOCK, &usr1, &old) == 0, "block SIGUSR1 again");
    raise(SIGUSR1);
    check(board_event_count() == 3, "third event captured");
    sigset_t none;
    sigemptyset(&none);
    errno = 0;
    check(sigsuspend(&none) == -1 && errno == EINTR, "sigsuspend returns after the handler");
    check(g_usr1 == 3, "sigsuspend let the pending signal through");
    check(blocked_now(SIGUSR1), "sigsuspend restored the mask");
    check(sigprocmask(SIG_SETMASK, &old, nullptr) == 0, "unblock SIGUSR1 again");
    std::printf("handler calls %d, board events %u\n", static_cast<int>(g_usr1),
                board_event_count());
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2)
        return 2;
    const char *what = argv[1];
    const char *variant = argc > 2 ? argv[2] : "";
    if (std::strcmp(what, "own-segv") == 0)
        return own_segv(variant);
    if (std::strcmp(what, "block-all") == 0)
        return block_all(variant);
    if (std::strcmp(what, "trap-blocked") == 0)
        return trap_blocked();
    if (std::strcmp(what, "handler-mask") == 0)
        return handler_mask();
    if (std::strcmp(what, "int3") == 0)
        return int3();
    if (std::strcmp(what, "fault") == 0)
        return fault(variant, !(argc > 3 && std::strcmp(argv[3], "unattached") == 0));
    if (std::strcmp(what, "ext-handler") == 0)
        return ext_handler(variant);
    return 2;
}
