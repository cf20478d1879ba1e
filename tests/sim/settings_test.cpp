// Simulator settings, trace lines, and the library reading the simulated board through a
// trapped window in the same process.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "calendar.h"
#include "korvic_api.h"
#include "settings.h"
#include "simulator.h"
#include "trace.h"
#include "trap.h"

namespace {

using namespace korvic::sim;

std::int64_t at(int year, int yday, int h, int m, int s, int ms = 0, int us = 0) {
    return to_us(BoardFields{year, yday, h, m, s, ms, us});
}

TEST(SimSettings, TimeForms) {
    struct Case {
        const char *text;
        std::optional<std::int64_t> want;
    };
    const Case cases[] = {
        {"2026-100 12:34:56", at(2026, 100, 12, 34, 56)},
        {"2026-100T12:34:56.789123", at(2026, 100, 12, 34, 56, 789, 123)},
        {"2026-100 12:34:56.5", at(2026, 100, 12, 34, 56, 500)},
        {"2024-365 23:59:59", at(2024, 365, 23, 59, 59)},
        {"2025-365 00:00:00", std::nullopt},  // a common year has days 0..364
        {"2024-12-31 00:00:00", at(2024, 365, 0, 0, 0)},
        {"2025-03-01T00:00:00", at(2025, 59, 0, 0, 0)},
        {"2024-03-01T00:00:00", at(2024, 60, 0, 0, 0)},
        {"@1774701296", std::int64_t{1774701296} * kUsPerSecond},
        {"@0.000001", 1},
        {"2026-13-01 00:00:00", std::nullopt},
        {"2026-100 24:00:00", std::nullopt},
        {"2026-100 12:34", std::nullopt},
        {"2026-100 12:34:56.1234567", std::nullopt},
        {"2026-100 12:34:56 ", std::nullopt},
        {"now", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parse_time(c.text), c.want) << c.text;
}

TEST(SimSettings, DurationsOrdersAndSignals) {
    EXPECT_EQ(parse_duration("250"), 250);
    EXPECT_EQ(parse_duration("250us"), 250);
    EXPECT_EQ(parse_duration("3ms"), 3000);
    EXPECT_EQ(parse_duration("2s"), 2 * kUsPerSecond);
    EXPECT_EQ(parse_duration("1min"), kUsPerMinute);
    EXPECT_EQ(parse_duration("1h"), kUsPerHour);
    EXPECT_EQ(parse_duration("1 s"), std::nullopt);
    EXPECT_EQ(parse_duration("-1s"), std::nullopt);
    EXPECT_EQ(parse_duration("s"), std::nullopt);
    EXPECT_EQ(parse_bus_order("swapped"), BusOrder::Swapped);
    EXPECT_EQ(parse_bus_order("native"), BusOrder::Native);
    EXPECT_EQ(parse_bus_order("big"), std::nullopt);
    EXPECT_EQ(parse_signal("USR1"), SIGUSR1);
    EXPECT_EQ(parse_signal("SIGUSR2"), SIGUSR2);
    EXPECT_EQ(parse_signal("10"), 10);
    EXPECT_EQ(parse_signal("KILLALL"), 0);
    EXPECT_EQ(parse_signal("0"), 0);
}

std::map<std::string, std::string> g_env;
char *fake_getenv(const char *name) {
    auto it = g_env.find(name);
    return it == g_env.end() ? nullptr : it->second.data();
}

TEST(SimSettings, FromEnvironment) {
    std::string error;
    g_env.clear();
    auto s = settings_from_env(&fake_getenv, &error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->mem_path, kDefaultMemPath);
    EXPECT_FALSE(s->virtual_clock);
    EXPECT_FALSE(s->start_us);

    g_env = {{kEnvMemPath, "/tmp/board"}, {kEnvClock, "virtual"},    {kEnvStart, "@10"},
             {kEnvStep, "5ms"},           {kEnvBusOrder, "swapped"}, {kEnvExtPeriod, "1s"},
             {kEnvExtSignal, "USR2"},     {kEnvTraceTsv, "t.tsv"}};
    s = settings_from_env(&fake_getenv, &error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->mem_path, "/tmp/board");
    EXPECT_EQ(s->int_path, kDefaultIntPath);
    EXPECT_TRUE(s->virtual_clock);
    EXPECT_EQ(s->start_us, 10 * kUsPerSecond);
    EXPECT_EQ(s->step_us, 5000);
    EXPECT_EQ(s->bus_order, BusOrder::Swapped);
    EXPECT_EQ(s->external_event_period_us, kUsPerSecond);
    EXPECT_EQ(s->external_event_signal, SIGUSR2);
    EXPECT_EQ(s->trace_tsv_path, "t.tsv");

    for (const char *bad :
         {kEnvClock, kEnvStart, kEnvStep, kEnvBusOrder, kEnvExtPeriod, kEnvExtSignal}) {
        g_env = {{bad, "bogus"}};
        EXPECT_FALSE(settings_from_env(&fake_getenv, &error)) << bad;
        EXPECT_EQ(error, std::string(bad) + "=bogus");
    }
}

TEST(SimTrace, LineForms) {
    TraceLine line;
    const TraceRecord r{12, Device::Board, 'W', 0xFC, 0xFFFFFFFF, "snapshot strobe"};
    format_human(r, line);
    EXPECT_EQ(line.view(), "    12  W  board  0x0fc  TIME_STATUS0   0xffffffff  snapshot strobe\n");
    format_machine(r, line);
    EXPECT_EQ(line.view(), "12\tboard\tW\t0x0fc\tTIME_STATUS0\t0xffffffff\tsnapshot strobe\n");
    format_machine({3, Device::Board, 'R', 0x118, 0, ""}, line);
    EXPECT_EQ(line.view(), "3\tboard\tR\t0x118\tCONFIG\t0x00000000\t\n");
    format_machine({4, Device::Board, 'R', 0x000, 0, ""}, line);
    EXPECT_EQ(line.view(), "4\tboard\tR\t0x000\t-\t0x00000000\t\n");
    format_human({1234567, Device::Bridge, 'R', 0x4C, 0x49, ""}, line);
    EXPECT_EQ(line.view(), "1234567  R  bridge 0x04c  PLX_INTCSR     0x00000049\n");
}

// Reads what a descriptor received so far.
std::string drain(int fd) {
    std::string out;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

// The library against the simulated board, in process: its time readers and the board's
// layouts agree, and the trace records what the accesses meant.
class SimulatedBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        tsv_ = memfd_create("trace", 0);
        ASSERT_GE(tsv_, 0);
        SimSettings s;
        s.virtual_clock = true;
        s.start_us = at(2026, 100, 12, 34, 56, 789, 123);
        sim_ = std::make_unique<Simulator>(s, -1, tsv_);
        window_ = std::make_unique<TrapWindow>(sim_->board_target(), 512);
        saved_base_ = base_addr;
        saved_kv_ = kv_mem;
        saved_swap_ = g_byte_swap;
        base_addr = static_cast<volatile std::uint32_t *>(window_->base());
        kv_mem = static_cast<volatile std::uint8_t *>(window_->base());
        g_byte_swap = 0;
    }
    void TearDown() override {
        base_addr = saved_base_;
        kv_mem = saved_kv_;
        g_byte_swap = saved_swap_;
        window_.reset();
        close(tsv_);
    }
    int tsv_ = -1;
    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<TrapWindow> window_;
    volatile std::uint32_t *saved_base_ = nullptr;
    volatile std::uint8_t *saved_kv_ = nullptr;
    std::int32_t saved_swap_ = 0;
};

TEST_F(SimulatedBoard, SnapshotTimeReadsTheBoardTime) {
    std::int32_t t[7] = {};
    ASSERT_EQ(snapshot_time(3, t), 0);
    const std::int32_t want[7] = {123, 789, 56, 34, 12, 100, 2026};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(t[i], want[i]) << i;
    const std::string trace = drain(tsv_);
    EXPECT_NE(trace.find("1\tboard\tW\t0x0fc\tTIME_STATUS0\t0xffffffff\tsnapshot strobe: "
                         "latched 2026-100 12:34:56.789123\n"),
              std::string::npos)
        << trace;
}

TEST_F(SimulatedBoard, PresetWrittenByTheLibraryBecomesTheBoardTime) {
    std::int32_t preset[7] = {0, 250, 0, 0, 8, 59, 2024};  // 2024-059 08:00:00.250
    ASSERT_EQ(set_new_time(3, preset), 0);
    EXPECT_EQ(sim_->board().time_us(), at(2024, 59, 8, 0, 0, 250));
    const std::string trace = drain(tsv_);
    EXPECT_NE(trace.find("preset loaded 2024-059 08:00:00.250"), std::string::npos) << trace;
}

TEST_F(SimulatedBoard, CompareEventSeenAndClearedThroughTheLibrary) {
    std::int32_t cmp[7] = {0, 0, 0, 0, 0, 0, 0};  // whole seconds
    ASSERT_EQ(write_time_cmp_reg(3, 4, cmp), 0);
    EXPECT_EQ(read_hw_stat_reg_bitfield(3), 0);
    sim_->virtual_clock()->advance(kUsPerSecond);
    EXPECT_EQ(read_hw_stat_reg_bitfield(3), 1);
    EXPECT_EQ(write_hw_ctl_reg_bitfield(1, 1), 0);
    EXPECT_EQ(read_hw_stat_reg_bitfield(3), 0);
    const std::string trace = drain(tsv_);
    EXPECT_NE(trace.find("mask 4 (every second"), std::string::npos) << trace;
    EXPECT_NE(trace.find("compare event raised at 2026-100 12:34:57.000000"), std::string::npos);
    EXPECT_NE(trace.find("compare event cleared"), std::string::npos);
}

}  // namespace
