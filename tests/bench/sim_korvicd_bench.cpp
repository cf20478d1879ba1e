// korvicd's work per kept sample on the simulated board (real clock, no trace), as it runs
// under korvic_sim: one burst of readings (each Board::sample() between two readings of
// CLOCK_MONOTONIC_RAW), the narrowest kept, the health checks, and both wire formats
// encoded. The time per iteration is the CPU one kept sample costs (every register access
// a trapped fault, as under the simulator; a real board's bus reads cost far less CPU).
// Counters: the bracket of the kept reading (median and 99th percentile over all
// iterations, microseconds), and of every single reading.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include "board_impl.h"
#include "core.h"
#include "korvic/board.hpp"
#include "simulator.h"
#include "trap.h"

namespace {

double percentile(std::vector<double> &v, double p) {
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

std::chrono::nanoseconds mono_raw() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return std::chrono::seconds{ts.tv_sec} + std::chrono::nanoseconds{ts.tv_nsec};
}

void BM_KeptSample(benchmark::State &state) {
    const int readings = static_cast<int>(state.range(0));
    korvic::sim::SimSettings s;
    korvic::sim::Simulator sim(s, -1, -1);
    korvic::sim::TrapWindow window(sim.board_target(), 512);
    korvic::Board board = korvic::detail::BoardInternals::over_window(window.base(), {});
    korvicd::Pipeline pipeline(korvicd::PipelineLimits{});
    std::vector<korvicd::Reading> burst(static_cast<std::size_t>(readings));
    std::vector<double> kept, single;
    kept.reserve(1 << 18);
    single.reserve(1 << 20);
    for (auto _ : state) {
        for (korvicd::Reading &r : burst) {
            r.mono_before = mono_raw();
            r.sample = board.sample();
            r.mono_after = mono_raw();
        }
        const korvicd::Step step = pipeline.process(burst);
        benchmark::DoNotOptimize(korvicd::encode_sock(step.reading.sample, {}));
        benchmark::DoNotOptimize(korvicd::encode_shm(step.reading.sample, {}));
        kept.push_back(std::chrono::duration<double, std::micro>(step.reading.bracket()).count());
        for (const korvicd::Reading &r : burst)
            single.push_back(std::chrono::duration<double, std::micro>(r.bracket()).count());
    }
    if (kept.empty())
        return;
    state.counters["kept_median_us"] = percentile(kept, 0.50);
    state.counters["kept_p99_us"] = percentile(kept, 0.99);
    state.counters["reading_median_us"] = percentile(single, 0.50);
    state.counters["reading_p99_us"] = percentile(single, 0.99);
}
BENCHMARK(BM_KeptSample)->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);

}  // namespace
