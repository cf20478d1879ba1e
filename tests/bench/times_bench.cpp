// Cost of the time readers and writers per mode on a plain memory window (so the bus is
// not measured, only the library's own work), against clock_gettime(CLOCK_REALTIME) in the
// same run.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>

#include "korvic_api.h"

namespace {

alignas(8) std::uint32_t window[128];

// A window holding 2026, day 100, 12:34:56.789123 in every time group.
void attach_plain_window() {
    base_addr = window;
    kv_mem = reinterpret_cast<volatile std::uint8_t *>(window);
    g_byte_swap = 0;
    g_time_offset = 0;
    g_tz_offset = 0;
    g_day_offset = 0;
    const std::uint32_t status[3] = {0x23910000, 0x78563412, 0x00012620};
    const std::uint32_t event[3] = {0x23917856, 0x34120001, 0x26200000};
    for (int k = 0; k < 3; ++k) {
        window[0xFC / 4 + k] = status[k];
        window[0x174 / 4 + k] = event[k];
        window[0x158 / 4 + k] = event[k];
    }
    window[0x138 / 4] = 0x23917856;
    window[0x13C / 4] = 0x34120051;
}

// Room for the largest time object (seven integers).
union TimeObject {
    std::uint32_t words[3];
    korvic_timespec ts;
    std::uint64_t micros;
    korvic_broken_down fields;
};

// An object of the mode holding 2023-08-22 21:37:45.123456.
TimeObject object_for(std::uint32_t mode) {
    TimeObject t{};
    switch (mode) {
        case KORVIC_MODE_RAW:
            t.words[0] = 0x00301245;
            t.words[1] = 0x37213302;
            t.words[2] = 0x23200000;
            break;
        case KORVIC_MODE_TIMESPEC:
            t.ts = {1'692'740'265, 123'456'789};
            break;
        case KORVIC_MODE_MICROSECONDS:
            t.micros = 1'691'617'065'123'456;
            break;
        default:
            t.fields = {456, 123, 45, 37, 21, 233, 2023};
            break;
    }
    return t;
}

void BM_clock_gettime(benchmark::State &state) {
    timespec ts{};
    for (auto _ : state) {
        clock_gettime(CLOCK_REALTIME, &ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(BM_clock_gettime);

template <std::int32_t (*Read)(std::uint32_t, void *)>
void BM_reader(benchmark::State &state) {
    attach_plain_window();
    const auto mode = static_cast<std::uint32_t>(state.range(0));
    TimeObject t{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(Read(mode, &t));
        benchmark::DoNotOptimize(t);
    }
}

std::int32_t compare_reader(std::uint32_t mode, void *time) {
    std::int32_t mask = 0;
    return read_time_cmp_reg(mode, &mask, time);
}

BENCHMARK(BM_reader<snapshot_time>)->Name("snapshot_time")->DenseRange(0, 3);
BENCHMARK(BM_reader<read_external_event_reg>)->Name("read_external_event_reg")->DenseRange(0, 3);
BENCHMARK(BM_reader<read_preset_time_reg>)->Name("read_preset_time_reg")->DenseRange(0, 3);
BENCHMARK(BM_reader<compare_reader>)->Name("read_time_cmp_reg")->DenseRange(0, 3);

template <std::int32_t (*Write)(std::uint32_t, void *)>
void BM_writer(benchmark::State &state) {
    attach_plain_window();
    const auto mode = static_cast<std::uint32_t>(state.range(0));
    TimeObject t = object_for(mode);
    for (auto _ : state) {
        benchmark::DoNotOptimize(t);
        benchmark::DoNotOptimize(Write(mode, &t));
    }
}

std::int32_t compare_writer(std::uint32_t mode, void *time) {
    return write_time_cmp_reg(mode, 5, time);
}

BENCHMARK(BM_writer<write_preset_time_reg>)->Name("write_preset_time_reg")->DenseRange(0, 3);
BENCHMARK(BM_writer<compare_writer>)->Name("write_time_cmp_reg")->DenseRange(0, 3);

void BM_reset_time(benchmark::State &state) {
    attach_plain_window();
    for (auto _ : state)
        benchmark::DoNotOptimize(reset_time());
}
BENCHMARK(BM_reset_time);

}  // namespace
