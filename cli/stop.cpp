#include "stop.h"

#include <signal.h>
#include <sys/select.h>

#include <cerrno>
#include <csignal>
#include <ctime>

#include "standard_streams.h"

namespace korvic::cli {
namespace {

volatile std::sig_atomic_t g_caught = 0;

extern "C" void note_signal(int sig) {
    g_caught = sig;
}

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    struct sigaction sa {};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    // One ignored by whoever started korvic (a `cmd &` of a non-interactive shell ignores
    // SIGINT) stays ignored.
    for (const int sig : {SIGINT, SIGTERM})
        if (!program::signal_ignored(sig))
            sigaction(sig, &sa, nullptr);
}

int StopSignals::caught() {
    return g_caught;
}

void StopSignals::sleep_for(std::chrono::nanoseconds d) {
    // The stop signals are blocked between the check and the wait, and pselect unblocks them
    // atomically: a signal that comes in between ends the wait at once instead of after d.
    const sigset_t stops = stop_set();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &stops, &old);
    const auto deadline = std::chrono::steady_clock::now() + d;
    while (g_caught == 0) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero())
            break;
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec ts{static_cast<std::time_t>(ns / 1'000'000'000),
                          static_cast<long>(ns % 1'000'000'000)};
        pselect(0, nullptr, nullptr, nullptr, &ts, &old);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void StopSignals::end_by_signal() {
    const int sig = g_caught;
    if (sig == 0)
        return;
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace korvic::cli
