// Readings against the system clock on the simulated board: best_of() keeps the narrowest
// valid reading and refuses those inside which the system clock stepped back (the narrowest
// of all by sign); sample() takes such a reading again, three times at most; preset_now()
// loads a whole second on the host's clock with exactly the preset's and the read-back's
// accesses at its end, and refuses a board that does not run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "board_impl.h"
#include "korvic/board.hpp"
#include "simulated_board.h"

namespace {

using korvic::BestReading;
using korvic::system_time;
using korvic::detail::BoardInternals;
using korvic::test::ModelAccess;
using korvic::test::Simulated;
using namespace std::chrono_literals;
using std::chrono::nanoseconds;

// A system clock that gives, reading by reading, before = T + i ms and after = before plus
// the reading's bracket (negative: the clock stepped back inside it).
std::vector<nanoseconds> g_brackets;
std::size_t g_calls = 0;
constexpr nanoseconds kT = 1'796'000'000s;

system_time scripted_clock() {
    const std::size_t reading = g_calls / 2;
    const bool after = g_calls++ % 2 == 1;
    const nanoseconds before = kT + reading * 1ms;
    return system_time{after && reading < g_brackets.size() ? before + g_brackets[reading]
                                                            : before};
}

class Scripted : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls = 0;
        BoardInternals::set_clock(sim.board, &scripted_clock);
    }
    void script(std::vector<nanoseconds> brackets) {
        g_brackets = std::move(brackets);
        g_calls = 0;
        sim.target.clear_log();
    }
    Simulated sim{korvic::Settings{}, {}, 1};
};

struct BestCase {
    const char *name;
    std::vector<nanoseconds> brackets;
    int chosen;  // the reading kept, -1: none
    int refused;
};

class BestOf : public Scripted, public ::testing::WithParamInterface<BestCase> {};

TEST_P(BestOf, TheNarrowestValidReading) {
    const BestCase &c = GetParam();
    script(c.brackets);
    const BestReading r = sim.board.best_of(static_cast<int>(c.brackets.size()));
    EXPECT_EQ(r.refused, c.refused);
    ASSERT_EQ(r.best.has_value(), c.chosen >= 0);
    if (r.best) {
        EXPECT_EQ(r.best->sample.before, system_time{kT + c.chosen * 1ms});
        EXPECT_EQ(r.best->bracket(), c.brackets[static_cast<std::size_t>(c.chosen)]);
        EXPECT_LE(r.best->mono_before, r.best->mono_after);
    }
    // Every reading is a whole snapshot, refused or not: three strobes and three loads.
    EXPECT_EQ(sim.target.log().size(), 6 * c.brackets.size());
}

INSTANTIATE_TEST_SUITE_P(
    Sampling, BestOf,
    ::testing::Values(BestCase{"first_of_the_narrowest", {9us, 5us, 7us, 5us}, 1, 0},
                      // With after = before - 0.5 s, the stepped reading was the narrowest
                      // by sign and was fed as a +250 ms sample of precision 1 ns.
                      BestCase{"a_step_back_is_no_reading", {9us, -500ms, 7us}, 2, 1},
                      BestCase{"a_zero_bracket_is_a_reading", {3us, 0ns, 2us}, 1, 0},
                      BestCase{"every_reading_stepped", {-1ns, -500ms}, -1, 2}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Scripted, SampleTakesASteppedReadingAgainThreeTimesAtMost) {
    script({-1ns, -500ms, 4us});
    const korvic::Sample s = sim.board.sample();
    EXPECT_EQ(s.before, system_time{kT + 2ms});
    EXPECT_EQ(s.uncertainty(), 4us);
    EXPECT_EQ(sim.target.log().size(), 18u);

    script({-1ns, -1ns, -1ns, 4us});
    EXPECT_THAT([&] { sim.board.sample(); },
                ::testing::ThrowsMessage<korvic::ClockStepped>(
                    "korvic: sample: the system clock stepped back inside 3 readings in a row"));
    EXPECT_EQ(sim.target.log().size(), 18u);
}

TEST_F(Scripted, BestOfTakesOneToAThousandReadingsAndChecksFirst) {
    script({});
    for (const int n : {0, -1, 1001})
        EXPECT_THROW(sim.board.best_of(n), std::out_of_range) << n;
    EXPECT_TRUE(sim.target.log().empty());
}

// On the host's clock: a whole second, read back at once, the board at the system clock; the
// call ends with the preset (three words, the load bit's read-modify-write) and the five
// snapshots read back, nothing else.
TEST(PresetNow, LoadsTheNextWholeSecondAndReadsItBack) {
    Simulated sim(korvic::Settings{}, {}, 0, true);
    const system_time called = korvic::realtime_now();
    const korvic::PresetNow p = sim.board.preset_now();
    EXPECT_EQ(p.preset, std::chrono::floor<std::chrono::seconds>(p.preset));
    EXPECT_GT(p.preset, called);
    EXPECT_GE(p.attempts, 1);
    EXPECT_LE(p.attempts, korvic::kPresetNowAttempts);
    EXPECT_GT(p.write_cost, 0ns);
    EXPECT_GE(p.read_back.board, p.preset);
    EXPECT_LT(p.read_back.board, p.preset + 100ms);
    // Within half its bracket of the system clock, and a margin for a loaded machine.
    EXPECT_LT(abs(p.residual()), korvic::Offset{p.bracket() / 2 + 1ms});

    const std::vector<ModelAccess> &log = sim.target.log();
    ASSERT_GE(log.size(), 35u);
    std::vector<ModelAccess> end(log.end() - 35, log.end());
    std::vector<ModelAccess> want = {
        {'W', 0x158}, {'W', 0x15C}, {'W', 0x160}, {'R', 0x118}, {'W', 0x118}};
    for (int i = 0; i < 5; ++i)
        want.insert(
            want.end(),
            {{'W', 0xFC}, {'W', 0xFC}, {'W', 0xFC}, {'R', 0xFC}, {'R', 0x100}, {'R', 0x104}});
    EXPECT_EQ(end, want);
    // An attempt woken late writes nothing and tries the next second: one preset per
    // attempt at most, and the last one is always written.
    const auto presets = std::count(log.begin(), log.end(), ModelAccess{'W', 0x158});
    EXPECT_GE(presets, 1);
    EXPECT_LE(presets, p.attempts);
}

// A board whose timer is stopped, or whose time stands still with the timer running (a
// virtual clock that never moves): nothing but snapshot strobes written, and said which.
TEST(PresetNow, RefusesABoardThatDoesNotRun) {
    for (const bool stopped : {true, false}) {
        Simulated sim(korvic::Settings{}, {}, 0, stopped);
        if (stopped)
            sim.board.stop_timer();
        sim.target.clear_log();
        try {
            sim.board.preset_now();
            ADD_FAILURE() << "preset_now() returned";
        } catch (const korvic::BoardNotRunning &e) {
            EXPECT_EQ(e.timer_stopped(), stopped);
            EXPECT_STREQ(e.what(), stopped ? "korvic: preset now: the board does not run: its "
                                             "timer is stopped; nothing was preset"
                                           : "korvic: preset now: the board does not run: its "
                                             "time stands still; nothing was preset");
        }
        for (const ModelAccess &a : sim.target.log())
            EXPECT_TRUE(a.dir == 'R' || a.offset == 0xFC) << a.dir << " " << a.offset;
    }
}

}  // namespace
