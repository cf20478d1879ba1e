// korvicd's sampling over a real korvic::Board on the simulated board, with the system clock
// injected: a clock that steps back 0.5 s inside a reading gives no sample, and the
// summary says why. Each burst goes the way korvicd's loop takes it: best_of(), the
// refused readings counted, the pipeline's verdict, a kept sample or a drop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board_impl.h"
#include "core.h"
#include "korvic/board.hpp"
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

}  // namespace
