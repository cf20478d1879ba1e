// Signals the simulator keeps for itself, and the program's own view of them.
//
// The MMIO trap engine needs SIGSEGV and SIGTRAP, and the preload library the external
// event signal, in every thread and at every moment: a program that installs a handler of
// its own, or blocks them, must not stop a register access from being served. A guarded
// signal therefore always has the simulator's handler in the kernel and is never blocked
// there. What the program asks for instead (through the program_* calls below, which the
// preload library puts in place of sigaction(), signal(), sigprocmask() and the rest) is
// recorded as the program's disposition and the program's mask, reported back to it exactly
// as it set them, and applied when a guarded signal is not the simulator's business:
//
//  - A fault the simulator does not serve (kind Fault: SIGSEGV outside every window, a
//    SIGTRAP that is not a single step) goes to the program's disposition as the kernel
//    would apply it: its handler (with SA_SIGINFO or not, SA_RESETHAND honoured, the
//    handler's sa_mask applied to every signal that is not guarded), nothing if ignored,
//    the default action otherwise. A fault raised by the processor while the program blocks
//    or ignores it kills the process, as the kernel does; one sent by kill() or raise() is
//    discarded if ignored, and kept pending for the program while it is blocked.
//  - A trigger (kind Trigger: the external event signal) always serves the simulator, and
//    also calls the program's own handler if it has one: at once if the program's mask lets
//    the signal through, else when the program unblocks it (sigprocmask, pthread_sigmask,
//    sigsuspend...). With the default action or ignored, nothing more happens.
//
// The program's handler for a guarded signal runs as if installed with SA_NODEFER, and
// guarded signals in its sa_mask are not blocked while it runs (both are reported back as
// set): a register access inside any handler must still be served. The mask is per thread;
// a new thread starts with no guarded signal blocked.
//
// Everything here that a signal handler calls is async-signal-safe: no allocation, no lock
// that a handler could wait on forever.
#pragma once

#include <signal.h>

#include <cstdint>

namespace korvic::sim {

enum class GuardKind : std::uint8_t { Fault, Trigger };

// The simulator's part of a guarded signal, called first in the signal handler. Returns
// true when the signal was entirely the simulator's business (an access served).
using GuardHook = bool (*)(int sig, siginfo_t *info, void *ctx);

// Takes `sig` over. The disposition the kernel has now becomes the program's; if the
// calling thread blocks `sig`, it stays blocked in that thread's view of the program's mask
// but no longer in the kernel. Returns 0, EINVAL for a signal that cannot be caught, or
// EBUSY when the signal is guarded already for another purpose.
int guard_signal(int sig, GuardKind kind, GuardHook hook);
bool is_guarded(int sig);

// The program's side, with the contracts of the C library calls they stand for. For
// signals that are not guarded they pass through to the C library, with guarded signals
// taken out of the masks the kernel sees and put back into what is reported.
int program_sigaction(int sig, const struct sigaction *act, struct sigaction *old);  // -1, errno
int program_sigmask(int how, const sigset_t *set, sigset_t *old);  // an error number
int program_sigsuspend(const sigset_t *mask);                      // -1, errno
int program_sigpending(sigset_t *set);                             // -1, errno

// True when the program has a handler of its own for `sig` (not the default, not ignored).
bool program_has_handler(int sig);

}  // namespace korvic::sim
