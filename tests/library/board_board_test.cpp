// korvic::Board against the simulated board model on a virtual clock: preset and now()
// round trips across leap days, year ends and 2099 with and without offsets; a board
// started at a given instant reads it; the C writer and the Board agree; two boards;
// compare events, the timer; external events as the EventWatcher sees them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board_impl.h"
#include "korvic/board.hpp"
#include "korvic_api.h"
#include "library_window.h"
#include "settings.h"
#include "simulated_board.h"

namespace {

using korvic::format_time;
using korvic::parse_time;
using korvic::utc_time;
using std::chrono::microseconds;
using std::chrono::milliseconds;

using korvic::test::Simulated;

korvic::Settings settings(std::int32_t sec, std::int32_t tz, std::int32_t day, bool swap) {
    korvic::Settings s;
    s.sec_off = sec;
    s.tz_off = tz;
    s.day_off = day;
    s.byte_swap = swap;
    return s;
}

struct Offsets {
    const char *name;
    std::int32_t sec, tz, day;
    bool swap;
};

class BoardRoundTrip : public ::testing::TestWithParam<Offsets> {};

// preset(t), 1.5 s of board time, now(): floor<ms>(t) + 1.5 s, over the calendar's edges.
TEST_P(BoardRoundTrip, PresetThenNowAcrossTheCalendar) {
    const Offsets &o = GetParam();
    Simulated sim(settings(o.sec, o.tz, o.day, o.swap));
    constexpr microseconds kRun{1'500'000};
    for (const char *text : {
             "2024-02-28T23:59:59.999600Z",  // into the leap day
             "2024-02-29T23:59:59.999999Z",  // out of it
             "2023-02-28T23:59:59.999Z",     // no leap day: 1 March
             "2000-02-28T23:59:59.5Z",       // 2000 is a leap year
             "2024-12-31T23:59:59.9996Z",    // 31 December of a leap year (day 365)
             "2025-12-31T23:59:59.9Z",       // and of a common one
             "2026-03-28T12:34:56.789123Z",
             "2099-12-31T23:59:59.999999Z",  // the last instant: the board runs into 2100
             "2099-02-28T23:59:59Z",
         }) {
        const utc_time t = parse_time(text);
        sim.board.preset(t);
        sim.virtual_clock().advance(kRun.count());
        EXPECT_EQ(format_time(sim.board.now()),
                  format_time(std::chrono::floor<milliseconds>(t) + kRun))
            << text;
        EXPECT_EQ(sim.board.preset_time(), std::chrono::floor<milliseconds>(t)) << text;
    }
}

// Each shifts board time towards the past, so the last instant of 2099 stays presettable.
const Offsets kOffsets[] = {
    {"none", 0, 0, 0, false}, {"swapped", 0, 0, 0, true},   {"gps", -18, 0, 0, false},
    {"zone", 0, 2, 0, true},  {"all", -3600, 11, 1, false},
};

INSTANTIATE_TEST_SUITE_P(Offsets, BoardRoundTrip, ::testing::ValuesIn(kOffsets),
                         [](const auto &info) { return std::string(info.param.name); });

// A board powered up at an instant reads that instant: exactly on a still clock, and the
// third strobe's latch later on a clock that moves per access.
TEST(BoardStarted, NowReadsTheStartInstant) {
    struct Case {
        std::int64_t step_us;
        const char *reads;
    } const cases[] = {
        {0, "2024-12-31T23:59:59.500000Z"},
        {250'000, "2025-01-01T00:00:00.250000Z"},
    };
    for (const Case &c : cases) {
        korvic::sim::BoardOptions o;
        o.start_us = parse_time("2024-12-31T23:59:59.5").time_since_epoch().count();
        Simulated sim(settings(0, 0, 0, false), o, c.step_us);
        EXPECT_EQ(format_time(sim.board.now()), c.reads) << "step " << c.step_us << " us";
    }
}

// With all offsets 0, a preset written by the C writer in mode 1 reads back as the same
// instant through now().
TEST(BoardAndCWriter, TimespecPresetReadsBackTheSameInstant) {
    Simulated sim(settings(0, 0, 0, false));
    korvic::test::LibraryWindow c_api(sim.window.base());
    for (std::int32_t seconds : {1'692'740'265, 951'868'799, 1'735'689'599, 0, INT32_MAX}) {
        korvic_timespec ts{seconds, 123'456'789};
        ASSERT_EQ(set_new_time(KORVIC_MODE_TIMESPEC, &ts), 0);
        EXPECT_EQ(sim.board.now(), utc_time{std::chrono::seconds{seconds}} + milliseconds{123})
            << seconds;
    }
}

// The compare time is converted as a preset is: with the zone offset set, the event comes
// when now() reaches the compare time.
TEST(BoardCompare, EventWhenNowReachesTheCompareTime) {
    for (const Offsets &o : kOffsets) {
        Simulated sim(settings(o.sec, o.tz, o.day, o.swap));
        const utc_time t = parse_time("2026-12-31T23:59:59Z");
        sim.board.preset(t);
        sim.board.set_compare(t + std::chrono::seconds{1}, korvic::CompareMask::yearly);
        sim.virtual_clock().advance(999'000);
        EXPECT_FALSE(sim.board.compare_flag()) << o.name;
        sim.virtual_clock().advance(2'000);
        EXPECT_TRUE(sim.board.compare_flag()) << o.name;
        EXPECT_TRUE(sim.board.status().compare_event);
        sim.board.clear_compare_flag();
        EXPECT_FALSE(sim.board.compare_flag());
        const korvic::CompareSetting c = sim.board.compare();
        EXPECT_EQ(c.mask, 0u);
        if (o.sec == 0 && o.tz == 0 && o.day == 0) {
            EXPECT_EQ(c.day_of_year, 0);  // 2027-01-01, the board's own digits
            EXPECT_EQ(c.time_of_day, microseconds{0});
        }
    }
}

// Each requested event is seen exactly once, at the board's time of the capture; nothing
// is seen when nothing happened.
TEST(BoardEvents, EveryCaptureSeenOnce) {
    Simulated sim(settings(0, 1, 0, true));
    const utc_time t = parse_time("2024-03-01T00:00:00Z");
    sim.board.preset(t);
    korvic::EventWatcher watcher(sim.board);
    EXPECT_EQ(watcher.poll(), std::nullopt);
    for (int i = 1; i <= 3; ++i) {
        sim.virtual_clock().advance(1'234);
        sim.model.request_external_event();
        const auto seen = watcher.poll();
        ASSERT_TRUE(seen.has_value()) << i;
        EXPECT_EQ(*seen, t + microseconds{1'234 * i + 500 * (i - 1)});
        EXPECT_EQ(sim.board.event_time(), *seen);
        sim.virtual_clock().advance(500);
        EXPECT_EQ(watcher.poll(), std::nullopt) << i;
    }
}

// A 1 kHz train of events (every whole millisecond of board time) on a clock that moves
// 50 us per access: wait_until returns each event in turn, none lost.
TEST(BoardEvents, WaitUntilFollowsAOneKilohertzTrain) {
    korvic::sim::BoardOptions o;
    o.external_event_period_us = 1'000;
    o.start_us = parse_time("2026-06-30T12:00:00Z").time_since_epoch().count();
    Simulated sim(settings(0, 0, 0, false), o, 50);
    korvic::EventWatcher watcher(sim.board);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{60};
    std::optional<utc_time> last;
    for (int i = 0; i < 20; ++i) {
        const auto seen = watcher.wait_until(deadline);
        ASSERT_TRUE(seen.has_value()) << i;
        EXPECT_EQ(seen->time_since_epoch().count() % 1'000, 0) << format_time(*seen);
        if (last) {
            EXPECT_EQ(*seen - *last, milliseconds{1}) << format_time(*seen);
        }
        last = seen;
    }
}

TEST(BoardEvents, WaitUntilEndsAtStopOrDeadline) {
    Simulated sim(settings(0, 0, 0, false));
    korvic::EventWatcher watcher(sim.board);
    int asked = 0;
    const auto far = std::chrono::steady_clock::now() + std::chrono::seconds{60};
    EXPECT_EQ(watcher.wait_until(far, [&] { return ++asked == 3; }), std::nullopt);
    EXPECT_EQ(asked, 3);
    const std::uint64_t before = sim.model.accesses();
    EXPECT_EQ(watcher.wait_until(std::chrono::steady_clock::now()), std::nullopt);
    EXPECT_EQ(sim.model.accesses() - before, 3u) << "one poll, then the deadline";
}

// A leap second played by the board, read through a Board every 250 ms of its
// oscillator: shown as 23:59:60 it reads as the minute's last microsecond for the whole
// second, so the time never enters the next minute early nor goes back; shown as 23:59:59
// twice it reads as shown, one second back. Either way one second behind afterwards.
TEST(BoardLeapSecond, ReadEitherWayTheBoardShowsIt) {
    using Show = korvic::sim::LeapSecond::Show;
    const utc_time leap = parse_time("2017-01-01T00:00:00Z");
    for (const Show show : {Show::Sixty, Show::Repeat}) {
        korvic::sim::BoardOptions o;
        o.start_us = (leap - milliseconds{1'500}).time_since_epoch().count();
        o.leap = korvic::sim::LeapSecond{leap.time_since_epoch().count(),
                                         korvic::sim::LeapSecond::Kind::Insert, show};
        for (const bool swap : {false, true}) {
            Simulated sim(settings(0, 0, 0, swap), o);
            for (int k = 0; k <= 16; ++k) {
                const utc_time oscillator = leap - milliseconds{1'500} + k * milliseconds{250};
                utc_time want = oscillator;
                if (oscillator >= leap + std::chrono::seconds{1} ||
                    (show == Show::Repeat && oscillator >= leap))
                    want = oscillator - std::chrono::seconds{1};
                else if (oscillator >= leap)
                    want = leap - microseconds{1};
                EXPECT_EQ(format_time(sim.board.now()), format_time(want))
                    << (show == Show::Sixty ? "60" : "repeat") << ", oscillator "
                    << format_time(oscillator);
                sim.virtual_clock().advance(250'000);
            }
        }
    }
}

// The status word latched with a sample is the snapshot's first load, in the caller's byte
// order, as status() reads it; a status bit forced by the run shows in it.
TEST(BoardSample, CarriesTheLatchedStatusWord) {
    const korvic::sim::StatusFault faults[] = {{1'000'000, 500'000, 8, false},
                                               {1'000'000, 500'000, 12, true}};
    korvic::sim::BoardOptions o;
    o.status_faults = faults;
    for (const bool swap : {false, true}) {
        Simulated sim(settings(0, 0, 0, swap), o);
        const struct {
            std::int64_t moment_us;
            std::uint32_t bits;  // 15..8: running (13), time set (12), reference locked (8)
        } cases[] = {{0, 0x21}, {1'000'000, 0x30}, {1'499'999, 0x30}, {1'500'000, 0x21}};
        for (const auto &c : cases) {
            sim.virtual_clock().set(1'000'000'000'000'000 + c.moment_us);
            const korvic::Sample s = sim.board.sample();
            EXPECT_EQ(s.status >> 8 & 0xFFu, c.bits) << c.moment_us << (swap ? " swapped" : "");
            EXPECT_EQ(sim.board.status().hw_status, s.status);
        }
    }
}

// Every duration the simulator's launcher takes means the same here.
TEST(BoardDurationText, TakesWhatTheSimulatorTakes) {
    for (const char *text : {"1us", "1.5s", "250ms", "0", "000", "0.0", "10min", "24h", "0.5h",
                             "1.000001s", "007ms", "0.25ms", "+3s", "-1.5s", "12.000000000s"}) {
        const auto us = korvic::sim::parse_duration_us(text, korvic::sim::Sign::Allowed);
        ASSERT_TRUE(us.has_value()) << text;
        EXPECT_EQ(korvic::parse_duration(text, true), microseconds{*us}) << text;
    }
}

}  // namespace
