// korvicd's work per kept sample on the simulated board (real clock, no trace), as it runs
// under korvic_sim: one burst of readings (Board::best_of(), each reading with
// CLOCK_MONOTONIC_RAW around it), the narrowest kept, the health checks, and both wire
// formats encoded. The time per iteration is the CPU one kept sample costs (every register
// access a trapped fault, as under the simulator; a real board's bus reads cost far less
// CPU). Counters: the bracket of the kept reading (median and 99th percentile over all
// iterations, microseconds); with one reading a burst, that of single readings.
#include <benchmark/benchmark.h>

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

void BM_KeptSample(benchmark::State &state) {
    const int readings = static_cast<int>(state.range(0));
    korvic::sim::SimSettings s;
    korvic::sim::Simulator sim(s, -1, -1);
    korvic::sim::TrapWindow window(sim.board_target(), 512);
    korvic::Board board = korvic::detail::BoardInternals::over_window(window.base(), {});
    korvicd::Pipeline pipeline(korvicd::PipelineLimits{});
    std::vector<double> kept;
    kept.reserve(1 << 18);
    for (auto _ : state) {
        const korvic::BestReading burst = board.best_of(readings);
        const korvicd::Step step = pipeline.process(burst);
        benchmark::DoNotOptimize(korvicd::encode_sock(step.reading.sample, {}));
        benchmark::DoNotOptimize(korvicd::encode_shm(step.reading.sample, {}));
        kept.push_back(std::chrono::duration<double, std::micro>(step.reading.bracket()).count());
    }
    if (kept.empty())
        return;
    state.counters["kept_median_us"] = percentile(kept, 0.50);
    state.counters["kept_p99_us"] = percentile(kept, 0.99);
}
BENCHMARK(BM_KeptSample)->Arg(1)->Arg(5)->Unit(benchmark::kMicrosecond);

}  // namespace
