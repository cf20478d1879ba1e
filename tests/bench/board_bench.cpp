// korvic::Board against the C API on a plain memory window (the library's own work, no
// bus): now() against snapshot_time in mode 1, the same strobe and loads with the
// true-calendar conversion in place of the 365-day one. Goal: now() at most 1.2 times the
// C call. sample() adds its two clock_gettime calls; format_time is there for scale.
// The "locked" forms take the board lock (uncontended, flock on a device file in memory)
// around each reading, as a Board attached to a device does.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdint>

#include "board_impl.h"
#include "korvic/board.hpp"
#include "korvic_api.h"
#include "memory_file.h"

namespace {

alignas(8) std::uint32_t window[128];

// 2026, day 100, 12:34:56.789123 in the time-and-status words; the C API pointed at them.
void fill_window() {
    const std::uint32_t status[3] = {0x23910000, 0x78563412, 0x00012620};
    for (int k = 0; k < 3; ++k)
        window[0xFC / 4 + k] = status[k];
    base_addr = window;
    kv_mem = reinterpret_cast<volatile std::uint8_t *>(window);
    g_byte_swap = 0;
    g_time_offset = 18;
    g_tz_offset = 2;
    g_day_offset = -1;
}

// The Board over the window; with the board lock on `device` when given.
korvic::Board board_on_window(const korvic::test::MemoryFile *device = nullptr) {
    korvic::Settings s;
    s.sec_off = 18;
    s.tz_off = 2;
    s.day_off = -1;
    if (device == nullptr)
        return korvic::detail::BoardInternals::over_window(window, s);
    return korvic::detail::BoardInternals::over_window(
        window, s, open(device->path().c_str(), O_RDWR | O_CLOEXEC), device->path());
}

void BM_snapshot_time_mode1(benchmark::State &state) {
    fill_window();
    korvic_timespec ts{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(snapshot_time(KORVIC_MODE_TIMESPEC, &ts));
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(BM_snapshot_time_mode1);

void BM_Board_now(benchmark::State &state) {
    fill_window();
    korvic::Board board = board_on_window();
    for (auto _ : state)
        benchmark::DoNotOptimize(board.now());
}
BENCHMARK(BM_Board_now);

void BM_Board_sample(benchmark::State &state) {
    fill_window();
    korvic::Board board = board_on_window();
    for (auto _ : state)
        benchmark::DoNotOptimize(board.sample());
}
BENCHMARK(BM_Board_sample);

void BM_Board_now_locked(benchmark::State &state) {
    fill_window();
    const korvic::test::MemoryFile device(512);
    korvic::Board board = board_on_window(&device);
    for (auto _ : state)
        benchmark::DoNotOptimize(board.now());
}
BENCHMARK(BM_Board_now_locked);

void BM_Board_sample_locked(benchmark::State &state) {
    fill_window();
    const korvic::test::MemoryFile device(512);
    korvic::Board board = board_on_window(&device);
    for (auto _ : state)
        benchmark::DoNotOptimize(board.sample());
}
BENCHMARK(BM_Board_sample_locked);

void BM_format_time(benchmark::State &state) {
    const korvic::utc_time t = korvic::parse_time("2026-04-11T12:34:56.789123Z");
    for (auto _ : state)
        benchmark::DoNotOptimize(korvic::format_time(t));
}
BENCHMARK(BM_format_time);

}  // namespace
