// korvicd's sampling over a real korvic::Board on the simulated board, with the system clock
// and the monotonic clock injected (every clock korvicd judges by is in its readings): a
// clock that steps back 0.5 s inside a reading gives no sample, and the summary says why;
// a leap second is crossed without moving the host's clock. Each burst goes the way
// korvicd's loop takes it: best_of(), the refused readings counted, the pipeline's verdict,
// a kept sample or a drop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board_impl.h"
#include "core.h"
#include "korvic/board.hpp"
#include "leap.h"
#include "simulated_board.h"

namespace {

using namespace std::chrono_literals;
using korvicd::nanoseconds;
using ::testing::HasSubstr;

// The system clock and the monotonic clock both read the simulated board's virtual clock
// (the board keeps the system's time exactly); the readings that `stepped` picks have their
// second system clock reading 0.5 s back.
korvic::sim::VirtualClock *g_clock = nullptr;
std::function<bool(std::size_t)> g_stepped;
std::size_t g_calls = 0;

korvic::system_time stepping_clock() {
    const std::size_t reading = g_calls / 2;
    const bool after = g_calls++ % 2 == 1;
    const nanoseconds now = std::chrono::microseconds{g_clock->now_us()};
    return korvic::system_time{after && g_stepped(reading) ? now - 500ms : now};
}

nanoseconds virtual_monotonic() {
    return std::chrono::microseconds{g_clock->now_us()};
}

class SteppedClock : public ::testing::Test {
  protected:
    void SetUp() override {
        g_clock = &sim.virtual_clock();
        g_calls = 0;
        korvic::detail::BoardInternals::set_clock(sim.board, &stepping_clock);
        korvic::detail::BoardInternals::set_monotonic_clock(sim.board, &virtual_monotonic);
    }

    // One burst of five readings a second, as korvicd's loop makes it.
    korvicd::Step tick() {
        sim.virtual_clock().advance(1'000'000);
        const korvic::BestReading burst = sim.board.best_of(5);
        stats.refused(burst.refused);
        korvicd::Step step = pipeline.process(burst);
        if (step.verdict == korvicd::Verdict::feed)
            stats.kept(step.offset, step.reading.bracket());
        else
            stats.dropped(korvicd::drop_of(step.verdict));
        return step;
    }

    korvic::test::Simulated sim{korvic::Settings{}, {}, 1};
    korvicd::Pipeline pipeline{korvicd::PipelineLimits{}};
    korvicd::Stats stats;
};

TEST_F(SteppedClock, SteppedInsideEveryReadingNothingIsFedAndTheCountSaysWhy) {
    g_stepped = [](std::size_t) { return true; };
    for (int i = 0; i < 10; ++i) {
        const korvicd::Step step = tick();
        EXPECT_EQ(step.verdict, korvicd::Verdict::clock_stepped);
        EXPECT_EQ(step.detail,
                  "sample: dropped, the system clock stepped back inside each of 5 readings");
    }
    EXPECT_EQ(stats.kept_count(), 0u);
    EXPECT_EQ(stats.line(10s),
              "stats over 10.000000 s: kept 0, dropped 10 (bracket 0, untrusted 0, max offset 0, "
              "queue full 0, chronyd away 0, board busy 0, clock stepped 10), readings refused "
              "50");
}

// The narrowest reading by sign is the stepped one (-0.5 s): it was fed as a +250 ms sample.
// Now only the valid ones are chosen from, and the board is fed at its true offset.
TEST_F(SteppedClock, ASteppedReadingInABurstIsLeftOutAndTheOthersFeed) {
    g_stepped = [](std::size_t reading) { return reading % 5 == 2; };
    int fed = 0;
    for (int i = 0; i < 10; ++i) {
        const korvicd::Step step = tick();
        EXPECT_THAT(step.detail, HasSubstr("(1 of the burst refused: the system clock stepped "
                                           "back)"));
        EXPECT_GE(step.reading.bracket(), 0ns);
        if (step.verdict != korvicd::Verdict::feed)
            continue;
        ++fed;
        // The latch is at the third strobe, 3 us after `before`, the midpoint 2 us after it.
        EXPECT_EQ(step.offset, korvic::Offset{1us});
        EXPECT_EQ(korvicd::encode_shm(step.reading.sample, {}).precision, -17);  // 4 us
    }
    EXPECT_EQ(fed, 7) << "the first three bursts make the board trusted";
    EXPECT_THAT(stats.line(10s), HasSubstr("kept 7, dropped 3 (bracket 0, untrusted 3, max "
                                           "offset 0, queue full 0, chronyd away 0, board busy "
                                           "0, clock stepped 0), readings refused 10; offset "
                                           "mean +1.0 us"));
}

// ---------------------------------------------------------------------------------------
// Across a leap second at the end of 2026-12-31, on the board model's virtual clock. The
// system clock plays it as the kernel does (an inserted second shows 23:59:59 twice, a
// deleted one is skipped), CLOCK_MONOTONIC_RAW runs straight on, and the board plays it as
// korvic_sim --leap-at does (23:59:60, or 23:59:59 twice), or misses it.
// ---------------------------------------------------------------------------------------

constexpr std::int64_t kLeap = 1'798'761'600;  // 2027-01-01T00:00:00Z
constexpr std::int64_t kSecond = 1'000'000;
constexpr std::int64_t kOrigin = 1'000'000'000'000'000;  // Simulated's virtual clock at start
constexpr std::int64_t kStart = (kLeap - 20) * kSecond;  // the board's and the true time then

using korvic::sim::LeapSecond;

struct LeapCase {
    const char *name;
    LeapSecond::Kind kind;
    std::optional<LeapSecond::Show> shown;  // nothing: the board misses it
};

void PrintTo(const LeapCase &c, std::ostream *os) {
    *os << c.name;
}

const LeapCase *g_leap = nullptr;

// The true time (microseconds since 1970) on the virtual clock.
std::int64_t true_us() {
    return kStart + (g_clock->now_us() - kOrigin);
}

korvic::system_time leap_system_clock() {
    std::int64_t t = true_us();
    if (g_leap->kind == LeapSecond::Kind::Insert && t >= kLeap * kSecond)
        t -= kSecond;
    if (g_leap->kind == LeapSecond::Kind::Delete && t >= (kLeap - 1) * kSecond)
        t += kSecond;
    return korvic::system_time{std::chrono::microseconds{t}};
}

nanoseconds leap_monotonic() {
    return std::chrono::microseconds{g_clock->now_us() - kOrigin};
}

korvic::sim::BoardOptions leap_board(const LeapCase &c) {
    korvic::sim::BoardOptions o;
    o.start_us = kStart;
    if (c.shown)
        o.leap = LeapSecond{kLeap * kSecond, c.kind, *c.shown};
    return o;
}

class AcrossALeapSecond : public ::testing::TestWithParam<LeapCase> {
  protected:
    void SetUp() override {
        g_leap = &GetParam();
        g_clock = &sim.virtual_clock();
        korvic::detail::BoardInternals::set_clock(sim.board, &leap_system_clock);
        korvic::detail::BoardInternals::set_monotonic_clock(sim.board, &leap_monotonic);
        const korvicd::LeapKind kind = GetParam().kind == LeapSecond::Kind::Insert
                                           ? korvicd::LeapKind::insert
                                           : korvicd::LeapKind::remove;
        pipeline.set_leaps(korvicd::LeapTable{0, 10, {{kLeap, 37, kind}}, 0, kLeap + 86'400});
    }

    // Bursts at 4 Hz until the true time reaches `until` (seconds since 1970): the log lines
    // and the samples fed.
    void run_until(std::int64_t until) {
        while (true_us() < until * kSecond) {
            sim.virtual_clock().advance(kSecond / 4);
            korvicd::Step step = pipeline.process(sim.board.best_of(5));
            log.insert(log.end(), step.log.begin(), step.log.end());
            if (step.verdict == korvicd::Verdict::feed)
                fed.push_back(step);
        }
    }

    korvic::test::Simulated sim{korvic::Settings{}, leap_board(GetParam()), 1};
    korvicd::Pipeline pipeline{korvicd::PipelineLimits{}};
    std::vector<std::string> log;
    std::vector<korvicd::Step> fed;
};

// No sample within 1 s of the leap on either clock; a board that follows it is fed at the
// right time on both sides, without a step; one that misses it is a step that no hold-off
// (60 s) believes, until it is set right.
TEST_P(AcrossALeapSecond, NothingNearItAndAMissedOneIsAStep) {
    const LeapCase &c = GetParam();
    run_until(kLeap + 90);
    const auto seconds_of = [](auto t) {
        return static_cast<double>(
                   std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch())
                       .count()) /
               1e6;
    };
    ASSERT_FALSE(fed.empty());
    std::size_t after = 0;
    for (const korvicd::Step &s : fed) {
        const double sys = seconds_of(s.reading.sample.midpoint());
        const double board = seconds_of(s.reading.sample.board);
        EXPECT_GT(std::abs(sys - static_cast<double>(kLeap)), 1.0) << sys;
        EXPECT_GT(std::abs(board - static_cast<double>(kLeap)), 1.0) << board;
        EXPECT_LT(std::abs(s.offset.to_seconds()), 0.001) << s.detail;
        after += board > static_cast<double>(kLeap) ? 1 : 0;
    }
    const std::string kind = c.kind == LeapSecond::Kind::Insert ? "inserted" : "deleted";
    const std::string leap = "the leap second " + kind + " at the end of 2026-12-31";
    if (c.shown) {
        EXPECT_GT(after, 300u) << "fed again at once after it";
        EXPECT_THAT(log, ::testing::ElementsAre(HasSubstr("consistent over 3 intervals"),
                                                "within 1 s of " + leap + ": feeding nothing",
                                                "board followed " + leap + "; feeding samples"));
        return;
    }
    EXPECT_EQ(after, 0u) << fed.back().detail;
    ASSERT_EQ(log.size(), 3u) << ::testing::PrintToString(log);
    EXPECT_EQ(log[2], "board missed " + leap +
                          (c.kind == LeapSecond::Kind::Insert ? ": +" : ": -") +
                          "1.000000 s against a board that follows it; feeding nothing until it "
                          "is right again");
    // Set right (to the system clock's time), it is fed again.
    sim.board.preset(std::chrono::floor<std::chrono::milliseconds>(
        std::chrono::time_point_cast<std::chrono::microseconds>(leap_system_clock())));
    const std::size_t before = fed.size();
    run_until(kLeap + 100);
    EXPECT_GT(fed.size(), before);
    EXPECT_THAT(log.back(),
                ::testing::StartsWith("board time right again after it missed " + leap + " ("));
}

INSTANTIATE_TEST_SUITE_P(
    Korvicd, AcrossALeapSecond,
    ::testing::Values(
        LeapCase{"ShownAs23_59_60", LeapSecond::Kind::Insert, LeapSecond::Show::Sixty},
        LeapCase{"ShownAs23_59_59Twice", LeapSecond::Kind::Insert, LeapSecond::Show::Repeat},
        LeapCase{"MissedByTheBoard", LeapSecond::Kind::Insert, std::nullopt},
        LeapCase{"ADeletedOne", LeapSecond::Kind::Delete, LeapSecond::Show::Sixty},
        LeapCase{"ADeletedOneMissed", LeapSecond::Kind::Delete, std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
