// The bracket of korvic::Board::sample() on the simulated board: every register access
// is trapped and served by the board model (real clock, no trace), as under korvic_sim.
// Each iteration is one sample(); the counters are the median and the 99th percentile of
// after - before over all of them, in microseconds. Between the two clock readings lie
// the three strobe stores and the first load: four trapped accesses. The same with the
// board lock (uncontended, on a device file in memory as the simulator's), which is taken
// before the first clock reading and so lies outside the bracket: its cost is the
// difference of the times per iteration.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

#include "board_impl.h"
#include "korvic/board.hpp"
#include "memory_file.h"
#include "simulator.h"
#include "trap.h"

namespace {

double percentile(std::vector<double> &v, double p) {
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

void BM_SampleBracket(benchmark::State &state) {
    korvic::sim::SimSettings s;
    korvic::sim::Simulator sim(s, -1, -1);
    korvic::sim::TrapWindow window(sim.board_target(), 512);
    const bool locked = state.range(0) != 0;
    const korvic::test::MemoryFile device(512);
    korvic::Board board =
        locked
            ? korvic::detail::BoardInternals::over_window(
                  window.base(), {}, open(device.path().c_str(), O_RDWR | O_CLOEXEC), device.path())
            : korvic::detail::BoardInternals::over_window(window.base(), {});
    std::vector<double> brackets;
    brackets.reserve(1 << 20);
    for (auto _ : state) {
        const korvic::Sample sample = board.sample();
        brackets.push_back(std::chrono::duration<double, std::micro>(sample.uncertainty()).count());
    }
    if (brackets.empty())
        return;
    state.counters["median_us"] = percentile(brackets, 0.50);
    state.counters["p99_us"] = percentile(brackets, 0.99);
    state.counters["max_us"] = *std::max_element(brackets.begin(), brackets.end());
}
BENCHMARK(BM_SampleBracket)->ArgName("locked")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
