// Cost of one register access served by the MMIO trap engine, against a bare signal round
// trip on the same machine:
//   BM_BareFaultRoundTrip  a load from a PROT_NONE page whose SIGSEGV handler only skips
//                          the 2-byte instruction (the floor of any trap-based approach);
//   BM_RaiseCaughtSignal   raise() of a caught signal with an empty handler (for reference);
//   BM_EmulatedLoad/Store  a 32-bit mov to a trapped window, decoded and emulated;
//   BM_SteppedOr           an `orl` to the window, served by single-stepping (two signals);
//   BM_BoardAccess         an emulated load served by the traced board model (trace off).
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdint>

#include <benchmark/benchmark.h>

#include "simulator.h"
#include "trap.h"

namespace {

class Constant : public korvic::sim::MmioTarget {
  public:
    std::uint32_t load32(std::uint32_t offset) override { return offset ^ 0x5A5A5A5Au; }
    void store32(std::uint32_t, std::uint32_t value) override { last = value; }
    std::uint32_t last = 0;
};

// `movl (%rax), %eax`: 8B 00, two bytes.
inline std::uint32_t load_via_rax(volatile std::uint32_t *p) {
    std::uint32_t v;
    asm volatile("movl (%%rax), %%eax" : "=a"(v) : "a"(p) : "memory");
    return v;
}

void skip_two_bytes(int, siginfo_t *, void *ctx) {
    static_cast<ucontext_t *>(ctx)->uc_mcontext.gregs[REG_RIP] += 2;
}

void BM_BareFaultRoundTrip(benchmark::State &state) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void *p = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    struct sigaction sa {
    }, saved{};
    sa.sa_sigaction = skip_two_bytes;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, &saved);
    for (auto _ : state)
        benchmark::DoNotOptimize(load_via_rax(static_cast<volatile std::uint32_t *>(p)));
    sigaction(SIGSEGV, &saved, nullptr);
    munmap(p, page);
}
BENCHMARK(BM_BareFaultRoundTrip);

void empty_handler(int) {}

void BM_RaiseCaughtSignal(benchmark::State &state) {
    struct sigaction sa {
    }, saved{};
    sa.sa_handler = empty_handler;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &saved);
    for (auto _ : state)
        raise(SIGUSR1);
    sigaction(SIGUSR1, &saved, nullptr);
}
BENCHMARK(BM_RaiseCaughtSignal);

void BM_EmulatedLoad(benchmark::State &state) {
    Constant target;
    korvic::sim::TrapWindow window(target, 512);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    for (auto _ : state)
        benchmark::DoNotOptimize(load_via_rax(w + 0x118 / 4));
}
BENCHMARK(BM_EmulatedLoad);

void BM_EmulatedStore(benchmark::State &state) {
    Constant target;
    korvic::sim::TrapWindow window(target, 512);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    for (auto _ : state)
        w[0xFC / 4] = 0xFFFFFFFFu;
    benchmark::DoNotOptimize(target.last);
}
BENCHMARK(BM_EmulatedStore);

void BM_SteppedOr(benchmark::State &state) {
    Constant target;
    korvic::sim::TrapWindow window(target, 512);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    for (auto _ : state)
        asm volatile("orl $0x10, 0x118(%0)" : : "r"(w) : "memory", "cc");
    benchmark::DoNotOptimize(target.last);
}
BENCHMARK(BM_SteppedOr);

void BM_BoardAccess(benchmark::State &state) {
    korvic::sim::SimSettings s;
    s.virtual_clock = true;
    s.board().start_us = 0;
    s.board().step_us = 1;
    korvic::sim::Simulator sim(s, -1, -1);
    korvic::sim::TrapWindow window(sim.board_target(), 512);
    auto *w = static_cast<volatile std::uint32_t *>(window.base());
    for (auto _ : state)
        benchmark::DoNotOptimize(load_via_rax(w + 0xFC / 4));
}
BENCHMARK(BM_BoardAccess);

}  // namespace
