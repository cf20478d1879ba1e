// The board model on a virtual clock: what its registers hold after strobes, preset loads,
// timer stop/start, compare events and external events, in both bus orders.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "board_map.h"
#include "calendar.h"
#include "clock.h"
#include "interrupt_line.h"
#include "regmap.h"
#include "settings.h"
#include "simulator.h"
#include "trace.h"

namespace {

using korvic::sim::Board;
using korvic::sim::BoardFields;
using korvic::sim::BoardOptions;
using korvic::sim::BusOrder;
using korvic::sim::kUsPerDay;
using korvic::sim::kUsPerHour;
using korvic::sim::kUsPerMinute;
using korvic::sim::kUsPerMs;
using korvic::sim::kUsPerSecond;
using korvic::sim::to_us;
using korvic::sim::VirtualClock;

constexpr std::uint32_t kStatus = 0xFC, kTime1 = 0x100, kTime2 = 0x104;
constexpr std::uint32_t kConfig = 0x118, kHwCtl = 0xF8;
constexpr std::uint32_t kCompare0 = 0x138, kCompare1 = 0x13C;
constexpr std::uint32_t kPreset0 = 0x158, kPreset1 = 0x15C, kPreset2 = 0x160;

std::int64_t at(int year, int yday, int h, int m, int s, int ms = 0, int us = 0) {
    return to_us(BoardFields{year, yday, h, m, s, ms, us});
}

struct Snapshot {
    std::uint32_t w0, w1, w2;
};

Snapshot strobe_and_read(Board &b) {
    for (int i = 0; i < 3; ++i)
        b.write(kStatus, 0xFFFFFFFF);
    return {b.read(kStatus), b.read(kTime1), b.read(kTime2)};
}

// ---------------------------------------------------------------------------------------
// Snapshot strobe and the time-and-status layout.
// ---------------------------------------------------------------------------------------

TEST(BoardSnapshot, LatchesTheTimeInTheTimeAndStatusLayout) {
    VirtualClock clock(at(2026, 100, 12, 34, 56, 789, 123));
    Board b(clock);
    const Snapshot s = strobe_and_read(b);
    // L[0..3] = 23 91 <status bits 15..8> 00: running (13) and reference locked (8).
    EXPECT_EQ(s.w0, 0x23912100u);
    EXPECT_EQ(s.w1, 0x78563412u);
    // L[9] = status nibble 8 (running) beside the days hundreds digit 1.
    EXPECT_EQ(s.w2, 0x00812620u);
}

TEST(BoardSnapshot, HeldUntilTheNextStrobeWhileStatusStaysLive) {
    VirtualClock clock(at(2026, 100, 12, 34, 56, 789, 123));
    Board b(clock);
    strobe_and_read(b);
    clock.advance(kUsPerSecond);
    b.write(kConfig, korvic::sim::kConfigTimerStop);
    EXPECT_EQ(b.read(kTime1), 0x78563412u);                // still the strobe's time
    EXPECT_EQ(b.read(kStatus) & 0xFF00u, 0x0100u);         // running bit gone at once
    EXPECT_EQ(strobe_and_read(b).w1, 0x78573412u);         // 12:34:57.789
    EXPECT_EQ(b.read(kTime2) & 0xF0000000u, 0x00000000u);  // days tens/units 00
    EXPECT_EQ((b.read(kTime2) >> 20) & 0xFu, 0x0u);        // nibble: stopped, no flags
}

struct RollCase {
    const char *what;
    std::int64_t start;
    std::int64_t advance;
    std::uint32_t w0_time;  // upper half of word 0
    std::uint32_t w1;
    std::uint32_t w2_digits;  // word 2 without the status nibble
    friend void PrintTo(const RollCase &c, std::ostream *os) { *os << c.what; }
};

class BoardRollover : public ::testing::TestWithParam<RollCase> {};

TEST_P(BoardRollover, StrobeShowsTheRolledTime) {
    const RollCase &c = GetParam();
    VirtualClock clock(c.start);
    Board b(clock);
    clock.advance(c.advance);
    const Snapshot s = strobe_and_read(b);
    EXPECT_EQ(s.w0 & 0xFFFF0000u, c.w0_time) << c.what;
    EXPECT_EQ(s.w1, c.w1) << c.what;
    EXPECT_EQ(s.w2 & 0xFF0FFFFFu, c.w2_digits) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BoardRollover,
    ::testing::Values(
        RollCase{"microseconds into milliseconds", at(2026, 100, 12, 34, 56, 789, 999), 1,
                 0x00000000u, 0x79563412u, 0x00012620u},
        RollCase{"seconds into minutes", at(2026, 100, 12, 34, 59, 999, 999), 1, 0x00000000u,
                 0x00003512u, 0x00012620u},
        RollCase{"minutes into hours", at(2026, 100, 12, 59, 59, 999, 500), 500, 0x00000000u,
                 0x00000013u, 0x00012620u},
        RollCase{"hours into days", at(2026, 100, 23, 59, 59, 999, 999), 1, 0x00000000u,
                 0x00000000u, 0x01012620u},
        RollCase{"day 364 of a common year into the new year", at(2025, 364, 23, 59, 59, 999, 999),
                 1, 0x00000000u, 0x00000000u, 0x00002620u},
        RollCase{"29 February exists in a leap year", at(2024, 58, 23, 59, 59, 999, 999), 1,
                 0x00000000u, 0x00000000u, 0x59002420u},
        RollCase{"31 December of a leap year is day 365", at(2024, 364, 23, 59, 59, 999, 999), 1,
                 0x00000000u, 0x00000000u, 0x65032420u},
        RollCase{"day 365 of a leap year into the new year", at(2024, 365, 23, 59, 59, 999, 999), 1,
                 0x00000000u, 0x00000000u, 0x00002520u},
        RollCase{"century", at(1999, 364, 23, 59, 59, 999, 999), 1, 0x00000000u, 0x00000000u,
                 0x00000020u},
        RollCase{"2100 is not a leap year", at(2100, 364, 23, 59, 59, 999, 999), 1, 0x00000000u,
                 0x00000000u, 0x00000121u}));

// ---------------------------------------------------------------------------------------
// Preset load and timer stop/start.
// ---------------------------------------------------------------------------------------

TEST(BoardPreset, LoadBitLoadsThePresetAndClearsItself) {
    VirtualClock clock(at(2020, 0, 0, 0, 0), kUsPerMs);  // 1 ms per access
    Board b(clock);
    // 2026-100 12:34:56.789 in the preset layout; the microsecond nibbles (L[0], lo L[1])
    // are set to 9s and must be ignored.
    b.write(kPreset0, 0x99997856u);
    b.write(kPreset1, 0x34120001u);
    b.write(kPreset2, 0x26200000u);
    b.write(kConfig, 0x04000000u | 0x00000010u);
    EXPECT_EQ(b.read(kConfig), 0x00000010u);  // load bit gone, other bits held
    EXPECT_EQ(b.time_us(), at(2026, 100, 12, 34, 56, 789) + kUsPerMs);
    // Runs on from the preset: the strobe is the third access after the load.
    const Snapshot s = strobe_and_read(b);
    EXPECT_EQ(s.w0 & 0xFFFF0000u, 0x00300000u);  // .793000
    EXPECT_EQ(s.w1, 0x79563412u);
    EXPECT_EQ(s.w0 & korvic::sim::kStatusTimeSet, korvic::sim::kStatusTimeSet);
    // Preset words hold what was written.
    EXPECT_EQ(b.read(kPreset0), 0x99997856u);
}

TEST(BoardPreset, AllZeroPresetIsYearZero) {
    VirtualClock clock(at(2026, 0, 0, 0, 0));
    Board b(clock);
    for (std::uint32_t off : {kPreset0, kPreset1, kPreset2})
        b.write(off, 0);
    b.write(kConfig, 0x04000000u);
    EXPECT_EQ(korvic::sim::from_us(b.time_us()), (BoardFields{0, 0, 0, 0, 0, 0, 0}));
}

TEST(BoardTimer, StopFreezesAndStartRunsOnFromTheStoppedTime) {
    VirtualClock clock(at(2026, 100, 12, 0, 0));
    Board b(clock);
    clock.advance(10 * kUsPerSecond);
    b.write(kConfig, korvic::sim::kConfigTimerStop);
    EXPECT_FALSE(b.running());
    clock.advance(kUsPerHour);
    EXPECT_EQ(b.time_us(), at(2026, 100, 12, 0, 10));
    EXPECT_EQ(strobe_and_read(b).w1, 0x00100012u);
    b.write(kConfig, 0);
    clock.advance(2 * kUsPerSecond);
    EXPECT_TRUE(b.running());
    EXPECT_EQ(b.time_us(), at(2026, 100, 12, 0, 12));
}

TEST(BoardTimer, PresetWhileStoppedStaysStopped) {
    VirtualClock clock(at(2026, 100, 12, 0, 0));
    Board b(clock);
    b.write(kConfig, korvic::sim::kConfigTimerStop);
    b.write(kPreset1, 0x00000001u);  // day 100, 00:00:00
    b.write(kPreset2, 0x26200000u);
    b.write(kConfig, korvic::sim::kConfigTimerStop | korvic::sim::kConfigPresetLoad);
    clock.advance(kUsPerMinute);
    EXPECT_EQ(b.time_us(), at(2026, 100, 0, 0, 0));
}

// ---------------------------------------------------------------------------------------
// Time compare.
// ---------------------------------------------------------------------------------------

// Compare words for day/time and mask, in the compare layout.
void write_compare(Board &b, int day, int h, int m, int s, int ms, int us, int mask) {
    auto bcd = [](int v) { return static_cast<std::uint32_t>((v / 10) << 4 | (v % 10)); };
    const std::uint32_t l0 = bcd(us % 100),
                        l1 = static_cast<std::uint32_t>((ms % 10) << 4 | us / 100);
    const std::uint32_t l2 = bcd(ms / 10), l3 = bcd(s), l4 = bcd(m), l5 = bcd(h),
                        l6 = bcd(day % 100);
    const std::uint32_t l7 = static_cast<std::uint32_t>(mask << 4 | day / 100);
    b.write(kCompare0, l0 << 24 | l1 << 16 | l2 << 8 | l3);
    b.write(kCompare1, l4 << 24 | l5 << 16 | l6 << 8 | l7);
}

struct CompareCase {
    const char *what;
    int day, h, m, s, ms, us, mask;
    std::int64_t before;  // advance that must not raise the flag
    std::int64_t after;   // further advance that must (0: nothing must)
    friend void PrintTo(const CompareCase &c, std::ostream *os) { *os << c.what; }
};

class BoardCompare : public ::testing::TestWithParam<CompareCase> {};

// The board starts at 2026-100 12:34:56.000000.
TEST_P(BoardCompare, FlagRaisedOnlyWhenTheKeptFieldsArePassed) {
    const CompareCase &c = GetParam();
    VirtualClock clock(at(2026, 100, 12, 34, 56));
    Board b(clock);
    write_compare(b, c.day, c.h, c.m, c.s, c.ms, c.us, c.mask);
    clock.advance(c.before);
    EXPECT_EQ(b.read(kStatus) & korvic::sim::kStatusCompareEvent, 0u) << c.what;
    clock.advance(c.after);
    const bool raised = (b.read(kStatus) & korvic::sim::kStatusCompareEvent) != 0;
    EXPECT_EQ(raised, c.after != 0) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Masks, BoardCompare,
    ::testing::Values(
        CompareCase{"mask 0: day and time", 100, 12, 35, 0, 0, 0, 0, 3 * kUsPerSecond,
                    kUsPerSecond},
        CompareCase{"mask 0: next day, jumped over", 101, 0, 0, 0, 0, 0, 0, 11 * kUsPerHour,
                    kUsPerHour},
        CompareCase{"mask 0: a day already passed waits a year", 99, 0, 0, 0, 0, 0, 0,
                    300 * kUsPerDay, 0},
        CompareCase{"mask 1: every day at 12:00", 0, 12, 0, 0, 0, 0, 1, 23 * kUsPerHour,
                    kUsPerHour},
        CompareCase{"mask 1: day digits ignored", 250, 12, 34, 57, 0, 0, 1, 500 * kUsPerMs,
                    500 * kUsPerMs},
        CompareCase{"mask 2: every hour at 35:00", 0, 0, 35, 0, 0, 0, 2, 3 * kUsPerSecond,
                    kUsPerSecond},
        CompareCase{"mask 2: hour digits ignored", 7, 23, 34, 56, 0, 0, 2, 59 * kUsPerMinute,
                    kUsPerMinute},
        CompareCase{"mask 3: every minute at :58", 0, 0, 0, 58, 0, 0, 3, 1900 * kUsPerMs,
                    100 * kUsPerMs},
        CompareCase{"mask 3: jump of ten minutes", 0, 0, 0, 30, 0, 0, 3, 0, 10 * kUsPerMinute},
        CompareCase{"mask 4: every second at .500", 0, 0, 0, 0, 500, 0, 4, 400 * kUsPerMs,
                    200 * kUsPerMs},
        CompareCase{"mask 4: whole seconds", 0, 0, 0, 0, 0, 0, 4, 999 * kUsPerMs, kUsPerMs},
        CompareCase{"mask 5: every millisecond at 500 us", 0, 0, 0, 0, 0, 500, 5, 400, 200},
        CompareCase{"mask 15: off", 100, 12, 34, 57, 0, 0, 15, 400 * kUsPerDay, 0},
        CompareCase{"mask 7: reserved", 0, 0, 0, 0, 0, 0, 7, 400 * kUsPerDay, 0},
        CompareCase{"kept minutes out of range never match", 0, 0, 75, 0, 0, 0, 2, 2 * kUsPerDay,
                    0}));

TEST(BoardCompare, ClearBitClearsTheFlagAndItself) {
    VirtualClock clock(at(2026, 100, 12, 34, 56));
    Board b(clock);
    write_compare(b, 0, 0, 0, 0, 0, 0, 4);  // every whole second
    clock.advance(kUsPerSecond);
    EXPECT_NE(b.read(kStatus) & korvic::sim::kStatusCompareEvent, 0u);
    b.write(kHwCtl, 0x03000000u);  // bits 24 and 25
    EXPECT_FALSE(b.compare_flag());
    EXPECT_EQ(b.read(kHwCtl), 0x01000000u);
    EXPECT_EQ(b.read(kStatus) & korvic::sim::kStatusCompareEvent, 0u);
    clock.advance(kUsPerSecond);  // the next second raises it again
    EXPECT_NE(b.read(kStatus) & korvic::sim::kStatusCompareEvent, 0u);
    // Writing 0 to the clear bit leaves the flag.
    b.write(kHwCtl, 0);
    EXPECT_TRUE(b.compare_flag());
}

TEST(BoardCompare, PresetJumpIsNotACrossing) {
    VirtualClock clock(at(2026, 100, 12, 34, 56));
    Board b(clock);
    write_compare(b, 0, 0, 0, 0, 0, 0, 3);  // every whole minute
    b.write(kPreset1, 0x00130001u);         // 13:00 on day 100: jumps over 12:35..13:00
    b.write(kPreset2, 0x26200000u);
    b.write(kConfig, korvic::sim::kConfigPresetLoad);
    EXPECT_FALSE(b.compare_flag());
    clock.advance(kUsPerMinute);
    b.read(kStatus);
    EXPECT_TRUE(b.compare_flag());
}

TEST(BoardCompare, PowerUpMaskIsOff) {
    VirtualClock clock(at(2026, 100, 12, 34, 56));
    Board b(clock);
    EXPECT_EQ(b.read(kCompare1) & 0xF0u, 0xF0u);
    clock.advance(400 * kUsPerDay);
    b.read(kStatus);
    EXPECT_FALSE(b.compare_flag());
}

// At the largest step the launcher allows, every access passes a day boundary: the daily
// compare event comes at every access, however long the run.
TEST(BoardCompare, DailyEventAtEveryAccessAtTheLargestStep) {
    VirtualClock clock(at(9990, 0, 0, 0, 0), korvic::sim::kMaxStepUs);
    Board b(clock);
    write_compare(b, 0, 0, 0, 0, 0, 0, 1);  // every day at 00:00:00.000000
    for (int i = 0; i < 5000; ++i) {
        ASSERT_NE(b.read(kStatus) & korvic::sim::kStatusCompareEvent, 0u) << "access " << i;
        b.write(kHwCtl, korvic::sim::kHwCtlCompareClear);
    }
}

// A clock driven beyond every realistic run holds the board at the end of its span: no
// arithmetic overflows (the sanitizer build checks), the time never wraps to the past.
TEST(BoardClock, TimeStandsAtTheEndOfItsSpanInsteadOfWrapping) {
    using korvic::sim::kBoardLatestUs;
    VirtualClock clock(at(2026, 100, 12, 34, 56), INT64_MAX / 4);
    Board b(clock);
    std::int64_t before = b.time_us();
    for (int i = 0; i < 8; ++i) {
        b.read(kStatus);
        EXPECT_GE(b.time_us(), before) << "access " << i;
        before = b.time_us();
    }
    EXPECT_EQ(clock.now_us(), INT64_MAX);
    EXPECT_EQ(b.time_us(), kBoardLatestUs);
    const Snapshot s = strobe_and_read(b);  // 99999-364 23:59:59.999999: digits 9999
    EXPECT_EQ(s.w1, 0x99595923u);
    clock.advance(INT64_MIN);
    clock.advance(INT64_MIN);
    EXPECT_EQ(clock.now_us(), INT64_MIN);
    b.read(kStatus);
    EXPECT_EQ(b.time_us(), korvic::sim::kBoardEarliestUs);
}

// ---------------------------------------------------------------------------------------
// External events.
// ---------------------------------------------------------------------------------------

TEST(BoardExternalEvent, PeriodicCaptureAtWholeMultiples) {
    VirtualClock clock(at(2026, 100, 12, 34, 56, 250));
    BoardOptions opt;
    opt.external_event_period_us = kUsPerSecond;
    Board b(clock, opt);
    clock.advance(700 * kUsPerMs);
    EXPECT_EQ(b.read(kStatus) & korvic::sim::kStatusExternalEvent, 0u);
    clock.advance(2 * kUsPerSecond);  // passes :57 and :58; the latest is kept
    EXPECT_NE(b.read(kStatus) & korvic::sim::kStatusExternalEvent, 0u);
    // External event layout: 000 us, 000 ms, :58, 34, 12, day 100 with count 1, 2026.
    EXPECT_EQ(b.read(0x174), 0x00000058u);
    EXPECT_EQ(b.read(0x178), 0x34120011u);
    EXPECT_EQ(b.read(0x17C), 0x26200000u);
    EXPECT_FALSE(b.external_pending());  // acknowledged by reading its first word
}

TEST(BoardExternalEvent, OnDemandCapturesTheNextAccessTime) {
    VirtualClock clock(at(2026, 100, 12, 34, 56, 789, 123), 1);
    Board b(clock);
    b.request_external_event();
    EXPECT_EQ(b.external_pending(), false);
    b.read(0x11C);  // this access happens at .789124
    EXPECT_TRUE(b.external_pending());
    EXPECT_EQ(b.read(0x174), 0x24917856u);
    EXPECT_EQ(b.read(0x178), 0x34120011u);
    b.request_external_event();
    b.read(0x11C);
    EXPECT_EQ(b.read(0x178) & 0xF0u, 0x20u);  // second event
}

// A periodic and a requested event in one access are captured in time order: the register
// keeps the latest, whichever was asked for first.
TEST(BoardExternalEvent, PeriodicAndRequestedInOneAccessKeepTheLatest) {
    VirtualClock clock(at(2026, 100, 12, 34, 56, 250));
    BoardOptions opt;
    opt.external_event_period_us = kUsPerSecond;
    Board b(clock, opt);
    clock.advance(kUsPerSecond);  // passes :57; the access happens at :57.250
    b.request_external_event();
    korvic::sim::Note note;
    b.read(0x11C, &note);
    // 250 ms, :57, 34, 12, day 100 with count 2 (both captured), 2026.
    EXPECT_EQ(b.read(0x174), 0x00002557u);
    EXPECT_EQ(b.read(0x178), 0x34120021u);
    EXPECT_EQ(note.view(),
              "external event captured at 2026-100 12:34:57.000000; "
              "external event captured at 2026-100 12:34:57.250000");
}

// ---------------------------------------------------------------------------------------
// Trace notes: the longest combinations one access can produce are never cut, in the note
// or in the trace lines that carry it.
// ---------------------------------------------------------------------------------------

struct NoteCase {
    const char *name;
    int year;
    std::uint32_t compare0, compare1;  // written before the events
    std::uint32_t offset, value;       // the access whose note is checked
    const char *note;
};

void PrintTo(const NoteCase &c, std::ostream *os) {
    *os << c.name;
}

class BoardNotes : public ::testing::TestWithParam<NoteCase> {};

TEST_P(BoardNotes, WorstCombinationIsNotCut) {
    const NoteCase &c = GetParam();
    VirtualClock clock(at(c.year, 100, 12, 34, 56, 250));
    BoardOptions opt;
    opt.external_event_period_us = kUsPerSecond;
    Board b(clock, opt);
    b.write(kCompare0, c.compare0);
    b.write(kCompare1, c.compare1);
    // Preset 2030-200 01:02:03.456.
    b.write(kPreset0, 0x00604503);
    b.write(kPreset1, 0x02010002);
    b.write(kPreset2, 0x30200000);
    b.request_external_event();
    clock.advance(kUsPerSecond);  // a whole second passes; the access is at :57.250
    korvic::sim::Note note;
    b.write(c.offset, c.value, &note);
    EXPECT_EQ(note.view(), std::string_view(c.note));

    const korvic::sim::TraceRecord rec{
        18446744073709551615u, korvic::sim::Device::Board, 'W', c.offset, c.value, note.view()};
    korvic::sim::TraceLine line;
    korvic::sim::format_human(rec, line);
    EXPECT_EQ(line.view().substr(line.size() - note.size() - 1), std::string(c.note) + "\n");
    // The tab-separated form carries the pid (0 in this record) after the note.
    korvic::sim::format_machine(rec, line);
    EXPECT_EQ(line.view().substr(line.size() - note.size() - 3), std::string(c.note) + "\t0\n");
}

INSTANTIATE_TEST_SUITE_P(
    Longest, BoardNotes,
    ::testing::Values(
        // Compare every second, a periodic and a requested event, then a CONFIG write that
        // stops the timer and loads the preset.
        NoteCase{"StopAndPresetWhileEventsFire", 2026, 0x00000000, 0x00000040, kConfig,
                 korvic::sim::kConfigTimerStop | korvic::sim::kConfigPresetLoad,
                 "compare event raised at 2026-100 12:34:57.000000; "
                 "external event captured at 2026-100 12:34:57.000000; "
                 "external event captured at 2026-100 12:34:57.250000; "
                 "timer stopped at 2026-100 12:34:57.250000; "
                 "preset loaded 2030-200 01:02:03.456"},
        // A compare write with every nibble at 15, in the last year the board's time reaches
        // (the widest year it writes), while events fire.
        NoteCase{"CompareOfEveryNibbleInAFarYear", 99999, 0xFFFFFFFF, 0x000000F0, kCompare1,
                 0xFFFFFF3F,
                 "external event captured at 99999-100 12:34:57.000000; "
                 "external event captured at 99999-100 12:34:57.250000; "
                 "compare at day 1665 165:165:165.16651665, mask 3 "
                 "(every minute: day, hours and minutes are wildcards)"}),
    [](const ::testing::TestParamInfo<NoteCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Leap seconds, and status bits forced at moments of the run.
// ---------------------------------------------------------------------------------------

// The digits a snapshot shows.
BoardFields shown(Board &b) {
    const Snapshot s = strobe_and_read(b);
    const std::uint32_t words[3] = {s.w0, s.w1, s.w2};
    return korvic::sim::decode_layout(korvic::sim::kTimeStatusLayout, words, 3, nullptr);
}

struct LeapCase {
    const char *name;
    korvic::sim::LeapSecond::Kind kind;
    korvic::sim::LeapSecond::Show show;
    // What the board shows at 23:59:58.5 and each whole second after it by its
    // oscillator: day of the year (365 is 31 December 2016), hour, minute, second.
    int shows[5][4];
};

void PrintTo(const LeapCase &c, std::ostream *os) {
    *os << c.name;
}

class BoardLeapSecond : public ::testing::TestWithParam<LeapCase> {};

TEST_P(BoardLeapSecond, ShownTheWayItIsChosenOnceAcrossTheInstant) {
    const LeapCase &c = GetParam();
    const std::int64_t leap = at(2017, 0, 0, 0, 0);
    VirtualClock clock(leap - 1500 * kUsPerMs);
    BoardOptions opt;
    opt.leap = korvic::sim::LeapSecond{leap, c.kind, c.show};
    Board b(clock, opt);
    for (const auto &want : c.shows) {
        const BoardFields f = shown(b);
        EXPECT_EQ((std::vector<int>{f.yday, f.hour, f.minute, f.second}),
                  (std::vector<int>{want[0], want[1], want[2], want[3]}))
            << "oscillator at " << clock.now_us() - leap << " us from the leap";
        EXPECT_EQ(f.millisecond, 500);
        clock.advance(kUsPerSecond);
    }
    // Played once: a minute later the board is still the one second off its oscillator.
    const std::int64_t behind = c.kind == korvic::sim::LeapSecond::Kind::Insert ? -1 : 1;
    clock.advance(kUsPerMinute);
    EXPECT_EQ(shown(b).millisecond, 500);
    EXPECT_EQ(b.time_us(), clock.now_us() + behind * kUsPerSecond);
}

using Kind = korvic::sim::LeapSecond::Kind;
using Show = korvic::sim::LeapSecond::Show;
INSTANTIATE_TEST_SUITE_P(
    Ways, BoardLeapSecond,
    ::testing::Values(
        LeapCase{
            "InsertedAsSixty",
            Kind::Insert,
            Show::Sixty,
            {{365, 23, 59, 58}, {365, 23, 59, 59}, {365, 23, 59, 60}, {0, 0, 0, 0}, {0, 0, 0, 1}}},
        LeapCase{
            "InsertedAsRepeated59",
            Kind::Insert,
            Show::Repeat,
            {{365, 23, 59, 58}, {365, 23, 59, 59}, {365, 23, 59, 59}, {0, 0, 0, 0}, {0, 0, 0, 1}}},
        LeapCase{"Deleted",
                 Kind::Delete,
                 Show::Sixty,
                 {{365, 23, 59, 58}, {0, 0, 0, 0}, {0, 0, 0, 1}, {0, 0, 0, 2}, {0, 0, 0, 3}}}),
    [](const ::testing::TestParamInfo<LeapCase> &info) { return std::string(info.param.name); });

TEST(BoardLeapSecond, SaidInTheTraceAndNotPlayedByAPresetBeyondIt) {
    const std::int64_t leap = at(2017, 0, 0, 0, 0);
    VirtualClock clock(leap - 250 * kUsPerMs);
    BoardOptions opt;
    opt.leap = korvic::sim::LeapSecond{leap, Kind::Insert, Show::Sixty};
    Board b(clock, opt);
    clock.advance(kUsPerSecond);
    korvic::sim::Note note;
    b.write(kStatus, 0xFFFFFFFF, &note);
    EXPECT_EQ(note.view(), "snapshot strobe: latched 2016-365 23:59:60.750000");
    clock.advance(kUsPerSecond);
    note.clear();
    b.write(kStatus, 0xFFFFFFFF, &note);
    EXPECT_EQ(note.view(),
              "leap second inserted before 2017-000 00:00:00.000000; "
              "snapshot strobe: latched 2017-000 00:00:00.750000");

    // A board preset from before the instant to beyond it jumps: no leap second.
    VirtualClock other(leap - 10 * kUsPerSecond);
    Board jumped(other, opt);
    jumped.write(kPreset0, 0x00000005);  // 00:00:05.000
    jumped.write(kPreset1, 0x00000000);  // day 000
    jumped.write(kPreset2, 0x17200000);  // 2017
    jumped.write(kConfig, korvic::sim::kConfigPresetLoad);
    other.advance(kUsPerMinute);
    EXPECT_EQ(shown(jumped).second, 5);
    EXPECT_EQ(jumped.time_us(), leap + 5 * kUsPerSecond + kUsPerMinute);
}

// Bit 8 cleared from 10 s into the run for 5 s, bit 13 cleared from 12 s on while the
// timer runs, bit 10 set from 11 s for 1 s: what the status word reads, and what the
// trace says, at each moment. The board itself is unchanged.
TEST(BoardStatusFaults, BitsReadAsForcedForTheirWhile) {
    VirtualClock source(at(2026, 100, 12, 0, 0));
    korvic::sim::BoardClock clock(source, {}, source.now_us());
    const korvic::sim::StatusFault faults[] = {
        {10 * kUsPerSecond, 5 * kUsPerSecond, 8, false},
        {11 * kUsPerSecond, kUsPerSecond, 10, true},
        {12 * kUsPerSecond, korvic::sim::kForever, 13, false},
    };
    BoardOptions opt;
    opt.status_faults = faults;
    Board b(clock, opt);
    const struct {
        std::int64_t moment_ms;
        std::uint32_t bits;  // 15..8
        const char *note;
    } reads[] = {
        {9'999, 0x21, "status running"},
        {10'000, 0x20, "status running, forced 8=0"},
        {11'500, 0x24, "status running, forced 8=0 10=1"},
        {12'000, 0x00, "status running, forced 8=0 13=0"},
        {14'999, 0x00, "status running, forced 8=0 13=0"},
        {15'000, 0x01, "status running, forced 13=0"},
    };
    for (const auto &r : reads) {
        source.set(at(2026, 100, 12, 0, 0) + r.moment_ms * kUsPerMs);
        korvic::sim::Note note;
        EXPECT_EQ(b.read(kStatus, &note) >> 8 & 0xFFu, r.bits) << r.moment_ms << " ms";
        EXPECT_EQ(note.view(), r.note) << r.moment_ms << " ms";
    }
    EXPECT_TRUE(b.running());
}

// ---------------------------------------------------------------------------------------
// Other registers.
// ---------------------------------------------------------------------------------------

TEST(BoardRegisters, PositionFreezeLatchesTheCounter) {
    VirtualClock clock(at(2026, 100, 12, 0, 0));
    Board b(clock);
    const std::uint32_t preset[4] = {0x11, 0x22, 0x33, 0xFFFFFF00u};
    for (std::uint32_t i = 0; i < 4; ++i)
        b.write(0x164 + 4 * i, preset[i]);
    clock.advance(1500 * kUsPerMs);
    EXPECT_EQ(b.read(0x108), 0u);  // nothing latched yet
    for (int i = 0; i < 3; ++i)
        b.write(kStatus, 255);
    EXPECT_EQ(b.read(0x108), 0x11u);
    EXPECT_EQ(b.read(0x10C), 0x22u);
    EXPECT_EQ(b.read(0x110), 0x33u);
    EXPECT_EQ(b.read(0x114), 0xFFFFFF00u + 1500u);
    EXPECT_EQ(b.read(0x164 + 12), 0xFFFFFF00u);  // preset position holds what was written
}

TEST(BoardRegisters, HeldFixedAndAbsentRegisters) {
    VirtualClock clock(at(2026, 100, 12, 0, 0));
    Board b(clock);
    b.write(0x120, 0xDEADBEEF);
    b.write(0x124, 0x00000E10);
    b.write(0x11C, 0);             // read-only
    b.write(0x000, 1234);          // no register
    b.write(kStatus, 0x12345678);  // not a strobe
    EXPECT_EQ(b.read(0x120), 0xDEADBEEFu);
    EXPECT_EQ(b.read(0x124), 0x00000E10u);
    EXPECT_EQ(b.read(0x11C), korvic::sim::kDiagnosticValue);
    EXPECT_EQ(b.read(0x000), 0u);
    EXPECT_EQ(b.read(0x1FC), 0u);
    for (std::uint32_t i = 0; i < 7; ++i)
        EXPECT_EQ(b.read(0x198 + 4 * i), korvic::sim::kSignalLevels[i]);
    EXPECT_EQ(b.read(kTime1), 0x00000012u);  // the power-up latch, untouched by 0x12345678
    EXPECT_EQ(b.accesses(), 18u);
}

// ---------------------------------------------------------------------------------------
// Bus order.
// ---------------------------------------------------------------------------------------

TEST(BoardBusOrder, SwappedPresentsEveryWordByteReversed) {
    VirtualClock clock(at(2026, 100, 12, 34, 56, 789, 123));
    BoardOptions opt;
    opt.bus_order = BusOrder::Swapped;
    Board b(clock, opt);
    const Snapshot s = strobe_and_read(b);
    EXPECT_EQ(s.w0, 0x00219123u);
    EXPECT_EQ(s.w1, 0x12345678u);
    EXPECT_EQ(s.w2, 0x20268100u);
    // A word written is taken byte-reversed: bus 0x00000004 is configuration bit 26.
    b.write(kPreset1, 0x01001234u);  // board view 0x34120001: 12:34, day 100
    b.write(kPreset2, 0x00002026u);
    b.write(kPreset0, 0x56780000u);  // board view 0x00007856: :56.780
    b.write(kConfig, 0x00000004u);
    EXPECT_EQ(korvic::sim::from_us(b.time_us()), (BoardFields{2026, 100, 12, 34, 56, 780, 0}));
    // The position strobe, 255 as the host writes it, works in this order too.
    b.write(0x164 + 12, 0x05000000u);  // board view 5
    for (int i = 0; i < 3; ++i)
        b.write(kStatus, 255);
    EXPECT_EQ(b.read(0x114), 0x05000000u);
}

TEST(Bridge, OrIntoInterruptWordIsVisible) {
    korvic::sim::Bridge bridge;
    korvic::sim::Note note;
    bridge.write(0x4C, 0x00000100u);
    const std::uint32_t w = bridge.read(0x4C);
    bridge.write(0x4C, w | 0x49u, &note);
    EXPECT_EQ(bridge.word(0x4C), 0x00000149u);
    EXPECT_EQ(bridge.read(0x4C), 0x00000149u);
    EXPECT_EQ(note.view(), "interrupts enabled: local input 1 local input 2 PCI");
    EXPECT_EQ(bridge.read(0x48), 0u);
}

// ---------------------------------------------------------------------------------------
// The model's register map against the library's.
// ---------------------------------------------------------------------------------------

TEST(BoardMap, AgreesWithTheLibrarysRegisterMap) {
    using korvic::regs::Reg;
    using korvic::sim::BoardReg;
    struct Pair {
        Reg lib;
        BoardReg board;
        std::uint32_t first_word;  // of the board's group
    };
    const Pair pairs[] = {
        {Reg::HwControl, BoardReg::HwControl, 0},
        {Reg::HwStatus, BoardReg::TimeStatus, 0},
        {Reg::TimeStatus, BoardReg::TimeStatus, 0},
        {Reg::PositionFreeze, BoardReg::PositionFreeze, 0},
        {Reg::Config, BoardReg::Config, 0},
        {Reg::Diag, BoardReg::Diagnostic, 0},
        {Reg::LocalOffset, BoardReg::LocalOffset, 0},
        {Reg::SyncOffset, BoardReg::SyncOffset, 0},
        {Reg::TimeCompare, BoardReg::Compare, 0},
        {Reg::PresetTime, BoardReg::PresetTime, 0},
        {Reg::PresetPosition, BoardReg::PresetPosition, 0},
        {Reg::ExternalEvent, BoardReg::ExternalEvent, 0},
        {Reg::SignalLevel, BoardReg::SignalLevel, 0},
    };
    ASSERT_EQ(std::size(pairs), std::size(korvic::regs::kRegisterMap));
    for (const Pair &p : pairs) {
        const auto &lib = korvic::regs::info(p.lib);
        const auto &board = korvic::sim::board_reg(p.board);
        EXPECT_EQ(lib.offset, board.offset + 4 * p.first_word) << lib.name;
        EXPECT_LE(p.first_word + lib.words, board.words) << lib.name;
        if (p.lib != Reg::HwStatus) {
            EXPECT_EQ(lib.words, board.words) << lib.name;
        }
    }
    EXPECT_EQ(korvic::regs::kWindowBytes, korvic::sim::kBoardWindowBytes);
    EXPECT_EQ(korvic::regs::kBridgeBytes, korvic::sim::kBridgeWindowBytes);
    EXPECT_EQ(korvic::regs::kBridgeIntCsr, korvic::sim::kBridgeIntCsrOffset);
    EXPECT_EQ(korvic::regs::kSnapshotStrobe, korvic::sim::kSnapshotStrobeValue);
    EXPECT_EQ(korvic::regs::kPositionFreezeStrobe, korvic::sim::kPositionStrobeLow);
}

// ---------------------------------------------------------------------------------------
// The schedule that the interrupt node's helper follows, and the bridge's interrupt line.
// ---------------------------------------------------------------------------------------

// The first compare crossing after an instant, for each kind of mask; none for a reserved
// mask, compare off, or a kept field out of its range.
TEST(BoardCompare, NextCrossingIsTheFirstAfter) {
    using korvic::sim::CompareSetting;
    using korvic::sim::next_compare_crossing;
    const struct {
        const char *what;
        BoardFields time;  // year unused
        std::uint32_t mask;
        std::int64_t after;
        std::optional<std::int64_t> next;
    } rows[] = {
        {"every second, later this second",
         {0, 0, 0, 0, 0, 250, 0},
         4,
         at(2026, 100, 12, 0, 0, 100),
         at(2026, 100, 12, 0, 0, 250)},
        {"every second, from a crossing",
         {0, 0, 0, 0, 0, 250, 0},
         4,
         at(2026, 100, 12, 0, 0, 250),
         at(2026, 100, 12, 0, 1, 250)},
        {"every millisecond",
         {0, 0, 0, 0, 0, 0, 7},
         5,
         at(2026, 100, 12, 0, 0, 0, 500),
         at(2026, 100, 12, 0, 0, 1, 7)},
        {"every day", {0, 0, 6, 0, 0, 0, 0}, 1, at(2026, 100, 12, 0, 0), at(2026, 101, 6, 0, 0)},
        {"every year on day 365, a leap year's",
         {0, 365, 0, 0, 0, 0, 0},
         0,
         at(2026, 100, 0, 0, 0),
         at(2028, 365, 0, 0, 0)},
        {"day 365 over a century that is no leap year",
         {0, 365, 0, 0, 0, 0, 0},
         0,
         at(2097, 0, 0, 0, 0),
         at(2104, 365, 0, 0, 0)},
        {"reserved mask", {0, 0, 0, 0, 0, 0, 0}, 7, at(2026, 100, 0, 0, 0), std::nullopt},
        {"compare off", {0, 0, 0, 0, 0, 0, 0}, 15, at(2026, 100, 0, 0, 0), std::nullopt},
        {"minute 75 never comes", {0, 0, 0, 75, 0, 0, 0}, 2, at(2026, 100, 0, 0, 0), std::nullopt},
    };
    for (const auto &r : rows) {
        CompareSetting c;
        c.time = r.time;
        c.mask = r.mask;
        EXPECT_EQ(next_compare_crossing(c, r.after), r.next) << r.what;
    }
}

// What the helper waits for: the periodic event or the compare crossing, whichever comes
// first; a raised flag is not raised again, a stopped timer schedules nothing. settle()
// lets the events happen without being an access: the clock does not step.
TEST(BoardSchedule, NextEventAndSettleWithoutAnAccess) {
    VirtualClock clock(at(2026, 100, 12, 0, 0), 1);
    BoardOptions opt;
    opt.external_event_period_us = kUsPerSecond;
    Board b(clock, opt);
    write_compare(b, 0, 0, 0, 0, 250, 0, 4);  // every second at .250
    EXPECT_EQ(b.next_event_us(), at(2026, 100, 12, 0, 0, 250));
    const std::uint64_t accesses = b.accesses();
    clock.advance(300 * kUsPerMs);
    const std::int64_t before = clock.now_us();
    b.settle();
    EXPECT_EQ(clock.now_us(), before);
    EXPECT_EQ(b.accesses(), accesses);
    EXPECT_TRUE(b.compare_flag());
    EXPECT_EQ(b.next_event_us(), at(2026, 100, 12, 0, 1)) << "the flag is raised already";
    b.write(kHwCtl, korvic::sim::kHwCtlCompareClear);
    clock.advance(kUsPerSecond);
    b.settle();
    EXPECT_TRUE(b.external_pending());
    EXPECT_EQ(b.next_event_us(), at(2026, 100, 12, 0, 2)) << "the compare flag is raised again";
    b.write(kConfig, korvic::sim::kConfigTimerStop);
    EXPECT_EQ(b.next_event_us(), std::nullopt);
}

// The line through one board's life: input 1 is the compare flag, input 2 the external
// event; what a store, the driver's handler, write(1) and write(0) leave in INTCSR (status
// bits 2 and 5 as loaded), and the board's count of interrupts.
TEST(BridgeInterrupt, InputsFollowTheBoardAndTheDriversDecision) {
    VirtualClock clock(at(2026, 100, 12, 0, 0));
    Board b(clock);
    korvic::sim::Bridge bridge;
    std::atomic<std::uint32_t> count{0};
    korvic::sim::InterruptWake wake;
    korvic::sim::InterruptLine line(b, bridge, count, wake);
    const auto happen = [&](std::int64_t us) {
        clock.advance(us);
        b.settle();
        line.evaluate();
    };
    const auto event = [&] {
        b.request_external_event();
        happen(0);
    };
    const struct {
        const char *what;
        std::function<void()> act;
        std::uint32_t intcsr, count;
    } steps[] = {
        {"power-up: all off", [] {}, 0x00, 0},
        {"a compare flag, nothing enabled: no interrupt",
         [&] {
             write_compare(b, 0, 0, 0, 0, 0, 0, 5);  // every millisecond
             happen(2 * kUsPerMs);
         },
         0x04, 0},
        {"write(1): input 1 stays masked (raised), input 2 and PCI armed", [&] { line.rearm(); },
         0x4C, 0},
        {"an external event: input 2 fires and is masked", event, 0x64, 1},
        {"another, masked: not counted", event, 0x64, 1},
        {"the event read, write(1): input 2 armed again",
         [&] {
             b.read(0x174);
             line.rearm();
         },
         0x4C, 1},
        {"the flag cleared, write(1): both armed",
         [&] {
             b.write(kHwCtl, korvic::sim::kHwCtlCompareClear);
             line.rearm();
         },
         0x49, 1},
        {"the next compare: input 1 fires", [&] { happen(kUsPerMs); }, 0x4C, 2},
        {"write(0): both inputs and PCI off", [&] { line.quiet(); }, 0x04, 2},
    };
    for (const auto &step : steps) {
        step.act();
        EXPECT_EQ(line.intcsr(), step.intcsr) << step.what;
        EXPECT_EQ(line.count(), step.count) << step.what;
    }
    EXPECT_EQ(wake.changes.load(), 2u) << "the helpers are woken at each interrupt";
}

// Through the bus, as init_847's ENABLE_INT does it: a load of INTCSR shows the raised
// input, the store enables it, the interrupt comes at once and is masked: one extra wake.
TEST(BridgeInterrupt, EnableIntWithARaisedSourceCountsOneInterrupt) {
    korvic::sim::SimSettings s;
    s.virtual_clock = true;
    korvic::sim::Simulator sim(s, -1, -1);
    sim.board(1).request_external_event();
    sim.board_target(1).load32(0x11C);
    const std::uint32_t w = sim.bridge_target(1).load32(korvic::sim::kBridgeIntCsrOffset);
    EXPECT_EQ(w, 0x20u);
    sim.bridge_target(1).store32(korvic::sim::kBridgeIntCsrOffset, w | 0x49u);
    EXPECT_EQ(sim.interrupt(1).count(), 1u);
    EXPECT_EQ(sim.bridge_target(1).load32(korvic::sim::kBridgeIntCsrOffset), 0x61u);
    EXPECT_EQ(sim.bridge(1).word(korvic::sim::kBridgeIntCsrOffset), 0x41u) << "status not held";
}

// A wait on the node of a board on a virtual clock moves the clock to the next scheduled
// event, exactly; on the host's clock it moves nothing, and settle() says how long to wait.
TEST(SimulatorSchedule, AWaitMovesAVirtualClockToTheNextEvent) {
    korvic::sim::SimSettings s;
    s.virtual_clock = true;
    const std::int64_t start = at(2026, 100, 12, 0, 0);
    s.board(1).start_us = start;
    s.board(1).step_us = 10;
    s.board(1).external_event_period_us = kUsPerMs;
    korvic::sim::Simulator sim(s, -1, -1);
    sim.control_interrupt(1, true);
    for (std::uint32_t n = 1; n <= 3; ++n) {
        EXPECT_TRUE(sim.skip_to_next_event(1));
        EXPECT_EQ(sim.board(1).time_us(), start + n * kUsPerMs);
        EXPECT_EQ(sim.interrupt(1).count(), n);
        sim.board_target(1).load32(0x174);  // consumed (the access steps 10 us)
        sim.control_interrupt(1, true);
    }
    bool counted = true;
    EXPECT_EQ(sim.settle(1, counted), std::nullopt) << "a virtual clock is moved by waits";
    EXPECT_FALSE(counted);

    korvic::sim::SimSettings real;
    real.board(1).external_event_period_us = kUsPerSecond;
    korvic::sim::Simulator host(real, -1, -1);
    EXPECT_FALSE(host.skip_to_next_event(1));
    const std::optional<std::int64_t> wait = host.settle(1, counted);
    ASSERT_TRUE(wait);
    EXPECT_GT(*wait, 0);
    EXPECT_LE(*wait, kUsPerSecond);
}

}  // namespace
