// korvic::Board as the bus sees it: every call makes exactly the accesses of its C twin
// (whose sequences the C API's own tests pin down), sample() reads the system clock where
// it must, and refused arguments make no access at all. Byte swapping off and on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "board_impl.h"
#include "korvic/board.hpp"
#include "korvic_api.h"
#include "trap_fixture.h"

namespace {

using korvic::Board;
using korvic::CompareMask;
using korvic::utc_time;
using korvic::detail::BoardInternals;
using korvic::test::Access;
using korvic::test::R;
using korvic::test::RecordingRegisters;
using korvic::test::TrapFixture;
using korvic::test::W;
using Log = std::vector<Access>;

// 2023-08-22T21:37:45.123456Z: day 233 (from 0) of 2023.
const utc_time kTime = korvic::parse_time("2023-08-22T21:37:45.123456Z");
korvic_broken_down kDigits{456, 123, 45, 37, 21, 233, 2023};

class BoardBus : public TrapFixture, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        TrapFixture::SetUp();
        g_byte_swap = GetParam() ? 1 : 0;
        korvic::Settings s;
        s.byte_swap = GetParam();
        board.emplace(BoardInternals::over_window(window.base(), s));
    }
    void TearDown() override {
        board.reset();
        TrapFixture::TearDown();
    }
    void set_seen(std::uint32_t offset, std::uint32_t v) {
        regs.set(offset, GetParam() ? __builtin_bswap32(v) : v);
    }
    // The board's words before every call: a time in every group, some bits elsewhere.
    void preload() {
        const std::uint32_t time[3] = {0x23917856, 0x34120001, 0x26200000};
        for (std::uint32_t k = 0; k < 3; ++k) {
            set_seen(0x174 + 4 * k, time[k]);
            set_seen(0x158 + 4 * k, time[k]);
        }
        set_seen(0xFC, 0x23912A00);
        set_seen(0x100, 0x78563412);
        set_seen(0x104, 0x00012620);
        set_seen(0x138, 0x23917856);
        set_seen(0x13C, 0x34120051);
        set_seen(0x118, 0x8010000F);
        set_seen(0xF8, 0x01000001);
        set_seen(0x11C, 0x0D1A0000);
    }
    Log run(const std::function<void()> &call) {
        preload();
        regs.clear_log();
        call();
        return regs.log();
    }

    std::optional<Board> board;
};

// The C calls, their results dropped.
template <std::int32_t (*Read)(std::uint32_t, void *)>
void c_read() {
    korvic_broken_down t{};
    Read(KORVIC_MODE_TIMESPEC, &t);
}
void c_compare() {
    korvic_broken_down t{};
    std::int32_t mask = 0;
    read_time_cmp_reg(KORVIC_MODE_TIMESPEC, &mask, &t);
}
void c_timespec_preset() {
    korvic_timespec ts{1'692'740'265, 123'456'789};
    set_new_time(KORVIC_MODE_TIMESPEC, &ts);
}
template <int (*Read)(std::uint32_t *)>
void c_word() {
    std::uint32_t w = 0;
    Read(&w);
}

struct Twin {
    const char *what;
    std::function<void(Board &)> board_call;
    std::function<void()> c_call;
};

// clang-format off
const std::vector<Twin> kTwins = {
    {"now",            [](Board &b) { b.now(); },         c_read<snapshot_time>},
    {"sample",         [](Board &b) { b.sample(); },      c_read<snapshot_time>},
    {"event_time",     [](Board &b) { b.event_time(); },  c_read<read_external_event_reg>},
    {"preset_time",    [](Board &b) { b.preset_time(); }, c_read<read_preset_time_reg>},
    {"compare",        [](Board &b) { b.compare(); },     c_compare},
    {"preset",         [](Board &b) { b.preset(kTime); }, c_timespec_preset},
    {"preset fields",  [](Board &b) { b.preset(kTime); },
                       [] { write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &kDigits); }},
    {"set_compare",    [](Board &b) { b.set_compare(kTime, CompareMask::every_millisecond); },
                       [] { write_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, 5, &kDigits); }},
    {"set_compare 12", [](Board &b) { b.set_compare(kTime, 12u); },
                       [] { write_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, 12, &kDigits); }},
    {"compare_flag",   [](Board &b) { b.compare_flag(); },
                       [] { read_hw_stat_reg_bitfield(KORVIC_HW_STAT_COMPARE_EVENT); }},
    {"clear flag",     [](Board &b) { b.clear_compare_flag(); },
                       [] { write_hw_ctl_reg_bitfield(KORVIC_HW_CTL_COMPARE_CLEAR, 1); }},
    {"stop_timer",     [](Board &b) { b.stop_timer(); },
                       [] { write_conf_reg_bitfield(KORVIC_CONF_TIMER_STOP, 1); }},
    {"start_timer",    [](Board &b) { b.start_timer(); },
                       [] { write_conf_reg_bitfield(KORVIC_CONF_TIMER_STOP, 0); }},
    {"timer_running",  [](Board &b) { b.timer_running(); },
                       [] { read_conf_reg_bitfield(KORVIC_CONF_TIMER_STOP); }},
    {"status",         [](Board &b) { b.status(); },
                       [] { read_hw_stat_reg_bitfield(0); c_word<read_conf_reg>(); }},
    {"read_register",  [](Board &b) { b.read_register(0x11C); }, c_word<read_diag_reg>},
    {"event watcher",  [](Board &b) { korvic::EventWatcher(b).poll(); },
                       [] { std::uint32_t w[3]; read_external_event_reg(KORVIC_MODE_RAW, w); }},
};
// clang-format on

TEST_P(BoardBus, EveryCallMakesTheAccessesOfItsCTwin) {
    for (const Twin &t : kTwins) {
        const Log c_log = run(t.c_call);
        const Log board_log = run([&] { t.board_call(*board); });
        EXPECT_EQ(board_log, c_log) << t.what;
        EXPECT_FALSE(c_log.empty()) << t.what;
    }
}

TEST_P(BoardBus, CompareAndStatusAsTheWordsSay) {
    preload();
    const korvic::CompareSetting c = board->compare();
    EXPECT_EQ(c.day_of_year, 100);
    EXPECT_EQ(c.time_of_day, std::chrono::microseconds{45'296'789'123});
    EXPECT_EQ(c.mask, 5u);

    const korvic::Status s = board->status();
    EXPECT_EQ(s.hw_status, 0x23912A00u);
    EXPECT_EQ(s.config, 0x8010000Fu);
    EXPECT_TRUE(s.compare_event);
    EXPECT_TRUE(s.timer_running);
    const std::vector<korvic::StatusBit> bits = {
        {8, false, "bit 8"},  {9, true, "compare event"}, {10, false, "bit 10"},
        {11, true, "bit 11"}, {12, false, "bit 12"},      {13, true, "bit 13"},
    };
    EXPECT_EQ(s.bits, bits);
    set_seen(0x118, 1u << 27);
    EXPECT_FALSE(board->timer_running());
    EXPECT_FALSE(board->status().timer_running);
}

// sample(): the system clock read before the first strobe store and after the first load,
// with the board's accesses in between exactly those of snapshot_time; the monotonic clock
// (best_of()'s) just outside the two.
RecordingRegisters *g_recorded = nullptr;
std::vector<std::size_t> g_clock_reads;
std::string g_clock_order;

korvic::system_time recording_clock() {
    g_clock_reads.push_back(g_recorded->log().size());
    g_clock_order += 'r';
    return korvic::system_time{
        std::chrono::nanoseconds{1'000 + 2'000 * (g_clock_reads.size() - 1)}};
}

std::chrono::nanoseconds recording_monotonic() {
    g_clock_order += std::to_string(g_recorded->log().size());
    return std::chrono::nanoseconds{g_clock_order.size()};
}

TEST_P(BoardBus, SampleReadsTheClockAroundTheLatch) {
    g_recorded = &regs;
    g_clock_reads.clear();
    g_clock_order.clear();
    BoardInternals::set_clock(*board, &recording_clock);
    BoardInternals::set_monotonic_clock(*board, &recording_monotonic);
    const Log log = run([&] {
        const korvic::Sample s = board->sample();
        EXPECT_EQ(s.before.time_since_epoch(), std::chrono::nanoseconds{1'000});
        EXPECT_EQ(s.after.time_since_epoch(), std::chrono::nanoseconds{3'000});
        EXPECT_EQ(s.uncertainty(), std::chrono::nanoseconds{2'000});
        EXPECT_EQ(s.midpoint().time_since_epoch(), std::chrono::nanoseconds{2'000});
        EXPECT_EQ(s.offset(), korvic::Offset{s.board - s.midpoint()});
        EXPECT_EQ(s.board, board->now()) << "the same reading as now()";
    });
    const std::uint32_t strobe = 0xFFFFFFFF;
    ASSERT_EQ(log.size(), 12u);
    EXPECT_EQ(log[0], W(0xFC, strobe));
    EXPECT_EQ(log[3], R(0xFC, strobe));
    EXPECT_EQ(g_clock_reads, (std::vector<std::size_t>{0, 4}))
        << "before: no access yet; after: the three strobes and the first load";
    EXPECT_EQ(g_clock_order, "0rr4") << "monotonic, system, (accesses), system, monotonic";
}

// Times outside the range, and masks above 15, are refused before any access.
TEST_P(BoardBus, RefusalsTouchNothing) {
    struct Case {
        const char *t;
        std::int32_t sec, tz, day;
    } const cases[] = {
        {"1969-12-31T23:59:59.999999Z", 0, 0, 0},
        {"2100-01-01T00:00:00Z", 0, 0, 0},
        {"1970-01-01T00:00:00Z", -1, 0, 0},
        {"2099-12-31T23:59:59Z", 0, -1, 0},
        {"1970-01-01T12:00:00Z", 0, 0, 1},
        {"2099-12-31T12:00:00Z", 0, 0, -1},
        {"@-62167219200", 0, 0, 0},
    };
    for (const Case &c : cases) {
        korvic::Settings s;
        s.byte_swap = GetParam();
        s.sec_off = c.sec;
        s.tz_off = c.tz;
        s.day_off = c.day;
        Board b = BoardInternals::over_window(window.base(), s);
        const utc_time t = korvic::parse_time(c.t);
        EXPECT_EQ(run([&] { EXPECT_THROW(b.preset(t), std::out_of_range) << c.t; }), Log{});
        // The same refusal without a board, for a program that checks before attaching.
        EXPECT_THROW(korvic::check_board_time(t, s), std::out_of_range) << c.t;
        EXPECT_NO_THROW(korvic::check_board_time(kTime, s)) << c.t;
        EXPECT_EQ(
            run([&] { EXPECT_THROW(b.set_compare(t, CompareMask::daily), std::out_of_range); }),
            Log{});
    }
    EXPECT_EQ(run([&] { EXPECT_THROW(board->set_compare(kTime, 16u), std::out_of_range); }), Log{});
    for (std::uint32_t offset :
         {0x0u, 0xF4u, 0x101u, 0x102u, 0x128u, 0x134u, 0x1B4u, 0x200u, 0xFFFFFFFCu})
        EXPECT_EQ(run([&] { EXPECT_THROW(board->read_register(offset), std::out_of_range); }),
                  Log{})
            << offset;
}

// Every word of every register in the map is one load, nothing else.
TEST_P(BoardBus, ReadRegisterLoadsOneWordOfTheMap) {
    for (const korvic::RegisterView &r : korvic::register_map()) {
        for (std::uint32_t k = 0; k < r.words; ++k) {
            const std::uint32_t offset = r.offset + 4 * k;
            regs.set(offset, 0x01020304u + offset);
            const Log log = run([&] { board->read_register(offset); });
            EXPECT_EQ(log, (Log{R(offset, regs.word(offset))})) << r.name << " word " << k;
        }
    }
}

// The latched time is the time-and-status words as they are, with no strobe; compare off is
// the register's power-up value.
TEST_P(BoardBus, LatchedTimeAndCompareOff) {
    utc_time latched{};
    const Log log = run([&] { latched = board->latched_time(); });
    EXPECT_EQ(log, (Log{R(0xFC, regs.word(0xFC)), R(0x100, regs.word(0x100)),
                        R(0x104, regs.word(0x104))}));
    EXPECT_EQ(korvic::format_time(latched), "2026-04-11T12:34:56.789123Z");
    const std::uint32_t off = GetParam() ? 0xF0000000u : 0xF0u;
    EXPECT_EQ(run([&] { board->set_compare_off(); }), (Log{W(0x138, 0), W(0x13C, off)}));
    EXPECT_EQ(board->compare().mask, 15u);
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, BoardBus, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

}  // namespace
