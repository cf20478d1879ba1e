// korvicd's pure core: sequences of made-up readings in, states, verdicts and log lines
// out; the SOCK datagram and the SHM record byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core.h"

namespace {

using namespace std::chrono_literals;
using korvicd::Health;
using korvicd::nanoseconds;
using korvicd::Reading;
using ::testing::HasSubstr;

constexpr std::int64_t kBase = 1'796'000'000;  // seconds since 1970, some day in 2026

// A reading whose latch lies at system time `sys`, board time `board`, monotonic `mono`,
// with a realtime bracket and a monotonic bracket around it.
Reading reading(nanoseconds sys, std::chrono::microseconds board, nanoseconds mono,
                nanoseconds bracket = 10us, nanoseconds mono_bracket = 12us) {
    Reading r;
    r.sample.before = korvic::system_time{sys - bracket / 2};
    r.sample.after = korvic::system_time{sys + bracket / 2};
    r.sample.board = korvic::utc_time{board};
    r.mono_before = mono - mono_bracket / 2;
    r.mono_after = mono + mono_bracket / 2;
    return r;
}

// An interval of a running board: its board advance, the monotonic clock's and the system
// clock's (by default the monotonic clock's), and whether the board was reopened before its
// end.
struct Interval {
    std::chrono::microseconds board;
    nanoseconds mono;
    std::optional<nanoseconds> sys = std::nullopt;
    bool reload = false;
};

// `times` intervals alike, with the state after each of them.
struct Stretch {
    Interval interval;
    int times;
    Health state;
};

struct HealthCase {
    const char *name;
    std::vector<Stretch> runs;
    std::vector<std::string> log;  // every line logged, in order (substrings)
    nanoseconds holdoff = 60s;
    // A leap second announced, and the first reading's time (board and system clock alike).
    std::optional<korvicd::LeapSecond> leap = std::nullopt;
    std::int64_t start = kBase;
};

// Named by its name in test listings (not by its bytes).
void PrintTo(const HealthCase &c, std::ostream *os) {
    *os << c.name;
}

class HealthSequence : public ::testing::TestWithParam<HealthCase> {};

TEST_P(HealthSequence, StatesAndOneLinePerChange) {
    const HealthCase &c = GetParam();
    korvicd::HealthLimits limits;
    limits.step_holdoff = c.holdoff;
    korvicd::HealthMonitor h(limits);
    korvicd::LeapTable table;
    if (c.leap)
        table = {0, 10, {*c.leap}, 0, c.start + 86'400};
    const korvicd::LeapTable *leaps = c.leap ? &table : nullptr;
    std::chrono::microseconds board{c.start * 1'000'000};
    nanoseconds mono = 5s, sys = c.start * 1s;
    EXPECT_TRUE(h.update(reading(sys, board, mono), leaps).empty());
    EXPECT_EQ(h.state(), Health::starting);
    std::vector<std::string> lines;
    int n = 0;
    for (const Stretch &run : c.runs) {
        for (int i = 0; i < run.times; ++i, ++n) {
            board += run.interval.board;
            mono += run.interval.mono;
            sys += run.interval.sys.value_or(run.interval.mono);
            if (run.interval.reload)
                h.reopened();
            for (const std::string &line : h.update(reading(sys, board, mono), leaps))
                lines.push_back(line);
            ASSERT_EQ(h.state(), run.state)
                << "after interval " << n << ": " << ::testing::PrintToString(lines);
            EXPECT_EQ(h.trusted(), run.state == Health::ok);
        }
    }
    ASSERT_EQ(lines.size(), c.log.size()) << ::testing::PrintToString(lines);
    for (std::size_t i = 0; i < lines.size(); ++i)
        EXPECT_THAT(lines[i], HasSubstr(c.log[i]));
}

constexpr Interval kGood{1'000'000us, 1s};
constexpr Interval kStill{0us, 1s};
constexpr Health S = Health::starting, OK = Health::ok, STOP = Health::stopped,
                 STEP = Health::stepped, RATE = Health::rate, REC = Health::recovering,
                 OUT = Health::out_of_range, LEAP = Health::leap_second,
                 MISSED = Health::missed_leap;
// From the board's time kBase + 3 s to 0000-01-01T00:00:00Z (reset_time's year 0), and a
// second after it back to kBase + 6 s (a preset to the system clock's time); from kBase to
// 9999-12-31T00:00:00Z.
constexpr std::chrono::seconds kYear0{-62'167'219'200}, k9999{253'402'214'400};
constexpr Interval kToYear0{kYear0 - (kBase + 3) * 1s, 1s};
constexpr Interval kFromYear0{(kBase + 6) * 1s - (kYear0 + 1s), 1s};
constexpr Interval kTo9999{k9999 - kBase * 1s, 1s};
// A reload (SIGHUP) whose configuration adds DAY_OFF=1.
constexpr Interval kDayOnReload{86'401'000'000us, 1s, std::nullopt, true};
// The first three intervals of a case: trusted from the third on.
const Stretch kStart{kGood, 2, S}, kTrusted{kGood, 1, OK};

// A leap second at the end of 2026-12-31 (L: 2027-01-01T00:00:00Z), the first reading at
// L - 5 s: the readings at L - 4 s to L - 2 s make the board trusted, the one at L - 1 s is
// the first within 1 s of the leap. The system clock, as the kernel plays an inserted
// second, shows 23:59:59 twice.
constexpr std::int64_t kLeap = 1'798'761'600;
constexpr korvicd::LeapSecond kInserted{kLeap, 37, korvicd::LeapKind::insert};
constexpr korvicd::LeapSecond kDeleted{kLeap, 35, korvicd::LeapKind::remove};

INSTANTIATE_TEST_SUITE_P(
    Daemon, HealthSequence,
    ::testing::Values(
        HealthCase{"running",
                   {kStart, {kGood, 2, OK}},
                   {"board time consistent over 3 intervals; feeding samples"}},
        // Running again after 3 s, the board is 3.6 s behind its trusted offset: a step, fed
        // once it has held that offset for the hold-off (from the first consistent interval).
        HealthCase{"stopped_then_runs_again_as_a_step",
                   {kStart,
                    kTrusted,
                    {kStill, 3, STOP},
                    {{400'000us, 1s}, 1, REC},
                    {kGood, 2, REC},
                    {kGood, 57, STEP},
                    {kGood, 1, OK}},
                   {"consistent over 3", "board stopped: its time did not advance in 1.000000 s",
                    "board time advances again; feeding after 3 consistent samples",
                    "board time consistent again -3.600000 s from its last trusted offset "
                    "(limit 1.000000 s); feeding nothing until it is back or has held it for "
                    "60.000000 s",
                    "board time held its new offset (-3.600000 s against the system clock) for "
                    "60.000000 s, the --step-holdoff: believing it; feeding samples"}},
        // Stopped for less than a step (0.5 s): fed again after three consistent intervals.
        HealthCase{
            "a_short_stop",
            {kStart,
             kTrusted,
             {{0us, 300ms}, 1, STOP},
             {{100'000us, 300ms}, 1, REC},
             {kGood, 2, REC},
             {kGood, 1, OK}},
            {"consistent", "board stopped: its time did not advance in 300.000 ms",
             "advances again", "board sane again after 3 consistent intervals; feeding samples"}},
        // The stop begins 0.4 s into an interval: that interval's rate error is not
        // said, the stop is.
        HealthCase{"stop_begins_within_an_interval",
                   {kStart,
                    kTrusted,
                    {{600'000us, 1s}, 1, RATE},
                    {kStill, 2, STOP},
                    {{300'000us, 1s}, 1, REC},
                    {kGood, 2, REC},
                    {kGood, 1, STEP}},
                   {"consistent", "board stopped", "advances again",
                    "consistent again -3.100000 s from its last trusted offset"}},
        // A slow interval not followed by a stop: its line comes one interval late.
        HealthCase{"slow_board_said_one_interval_late",
                   {kStart,
                    kTrusted,
                    {{998'000us, 1s}, 1, RATE},
                    {kGood, 2, RATE},
                    {{998'000us, 1s}, 2, RATE}},
                   {"consistent",
                    "board time moved -2.000 ms against the system clock in 1.000000 s "
                    "(-2000 ppm, limit 500 ppm)"}},
        HealthCase{"slow_step_then_stop",
                   {kStart, kTrusted, {{2'000us, 3s}, 1, STEP}, {kStill, 1, STOP}},
                   {"consistent", "board stopped"}},
        HealthCase{"stopped_from_the_start",
                   {{kStill, 2, STOP}, {kGood, 2, REC}, {kGood, 1, OK}},
                   {"board stopped", "advances again", "sane again"}},
        // A step is believed once the board has held its new offset for the hold-off.
        HealthCase{
            "step_forward_held",
            {kStart, kTrusted, {{3'000'000us, 1s}, 1, STEP}, {kGood, 59, STEP}, {kGood, 1, OK}},
            {"consistent",
             "board time stepped by +2.000000 s against the system clock (limit "
             "1.000000 s); feeding nothing until it is back within 1.000000 s of its last "
             "trusted offset or has held the new one for 60.000000 s",
             "board time held its new offset (+2.000000 s against the system clock) for "
             "60.000000 s"}},
        // Back within --max-step of the trusted offset: a glitch, trusted at once.
        HealthCase{"step_and_back_is_a_glitch",
                   {kStart,
                    kTrusted,
                    {{3'000'000us, 1s}, 1, STEP},
                    {kGood, 2, STEP},
                    {{-1'000'000us, 1s}, 1, OK},
                    {kGood, 2, OK}},
                   {"consistent", "stepped by +2.000000 s",
                    "board time back within 1.000000 s of its last trusted offset (+0 ns "
                    "against the system clock): a glitch; feeding samples"}},
        // Another step, or a rate error, while held: the hold begins again.
        HealthCase{"a_hold_begins_again",
                   {kStart,
                    kTrusted,
                    {{3'000'000us, 1s}, 1, STEP},
                    {kGood, 3, STEP},
                    {{4'000'000us, 1s}, 1, STEP},
                    {kGood, 4, STEP},
                    {{1'002'000us, 1s}, 1, RATE},
                    {kGood, 2, RATE},
                    {kGood, 4, STEP},
                    {kGood, 1, OK}},
                   {"consistent", "stepped by +2.000000 s",
                    "board time stepped again, by +3.000000 s, while holding its new offset; its "
                    "hold begins again",
                    "board time moved +2.000 ms against the system clock in 1.000000 s",
                    "board time consistent again +5.002000 s from its last trusted offset",
                    "held its new offset (+5.002000 s against the system clock) for 7.000000 s"},
                   7s},
        // Before the board was ever trusted, a step can only be held.
        HealthCase{"a_step_while_starting",
                   {{kGood, 1, S},
                    {{3'000'000us, 1s}, 1, STEP},
                    {kGood, 2, STEP},
                    {{-1'000'000us, 1s}, 1, STEP},
                    {kGood, 4, STEP},
                    {kGood, 1, OK}},
                   {"board time stepped by +2.000000 s against the system clock (limit "
                    "1.000000 s); feeding nothing until it has held its new offset for "
                    "5.000000 s",
                    "board time stepped again, by -2.000000 s",
                    "held its new offset (+0 ns against the system clock) for 5.000000 s"},
                   5s},
        HealthCase{"step_backward",
                   {kStart, kTrusted, {{-500'000us, 1s}, 1, STEP}},
                   {"consistent", "stepped by -1.500000 s"}},
        // A reload whose configuration moves the board by a day is a step across it; one
        // that changes nothing changes nothing.
        HealthCase{"a_reload_a_day_later",
                   {kStart, kTrusted, {kDayOnReload, 1, STEP}, {kGood, 4, STEP}, {kGood, 1, OK}},
                   {"consistent",
                    "board time stepped by +86400.000000 s across the reload against the system "
                    "clock",
                    "held its new offset (+86400.000000 s against the system clock) for "
                    "5.000000 s"},
                   5s},
        HealthCase{"a_reload_of_the_same_board",
                   {kStart, kTrusted, {{1'000'000us, 1s, std::nullopt, true}, 2, OK}},
                   {"consistent"}},
        // The system clock stepped and slewed under a steady board: nothing to say.
        HealthCase{"the_system_clock_steps_under_a_steady_board",
                   {kStart,
                    kTrusted,
                    {{1'000'000us, 1s, 4s}, 1, OK},
                    {{1'000'000us, 1s, -2s}, 1, OK},
                    {{1'000'000us, 1s, 999'500us}, 3, OK}},
                   {"consistent"}},
        HealthCase{
            "fast_board_1000_ppm",
            {kStart, kTrusted, {{1'001'000us, 1s}, 2, RATE}, {kGood, 2, RATE}, {kGood, 1, OK}},
            {"consistent",
             "board time moved +1.000 ms against the system clock in "
             "1.000000 s (+1000 ppm, limit 500 ppm)",
             "sane again"}},
        HealthCase{"slow_board_400_ppm_is_within",
                   {{{999'600us, 1s}, 1, S}, {kGood, 1, S}, {kGood, 1, OK}},
                   {"consistent"}},
        // 512 us in 1 s is 512 ppm, but each monotonic bracket is 12 us: the readings cannot
        // tell it from 500 ppm (6 us at each end, and the board's microsecond digit).
        HealthCase{"within_what_the_readings_can_tell",
                   {{{1'000'512us, 1s}, 1, S}, {kGood, 1, S}, {kGood, 1, OK}},
                   {"consistent"}},
        HealthCase{"just_beyond_it",
                   {kStart, kTrusted, {{1'000'514us, 1s}, 1, RATE}},
                   {"consistent", "+514 ppm"}},
        // Outside 1970 to 2099 nothing is fed, and no interval into or out of it is
        // judged (no step is said for the reset or the preset): one line each way.
        HealthCase{"reset_to_year_0_then_preset",
                   {kStart,
                    kTrusted,
                    {kToYear0, 1, OUT},
                    {kGood, 1, OUT},
                    {kFromYear0, 1, REC},
                    {kGood, 2, REC},
                    {kGood, 1, OK}},
                   {"consistent",
                    "board time 0000-01-01T00:00:00.000000Z outside 1970 to 2099; feeding nothing",
                    "board time 2026-11-30T00:53:26.000000Z within 1970 to 2099 again; feeding "
                    "after 3 consistent samples",
                    "sane again after 3 consistent intervals"}},
        HealthCase{"year_9999_from_the_start",
                   {{kTo9999, 1, OUT}, {kGood, 4, OUT}},
                   {"board time 9999-12-31T00:00:00.000000Z outside 1970 to 2099"}},
        HealthCase{"a_fault_while_recovering_is_logged",
                   {kStart,
                    kTrusted,
                    {kStill, 1, STOP},
                    {kGood, 1, REC},
                    {{2'500'000us, 1s}, 1, STEP},
                    {kStill, 1, STOP}},
                   {"consistent", "board stopped", "advances again", "stepped by +1.500000 s",
                    "board stopped"}},
        // Across an announced leap second. A board that shows 23:59:60 (read as
        // 23:59:59.999999 for the whole second) or 23:59:59 twice moves by one second less
        // than the monotonic clock: no step. Nothing is judged while the system clock or
        // the board lies within 1 s of the leap: the board at L - 1 s to L + 1 s, the
        // system clock until it shows L + 1 s, one second later.
        HealthCase{"a_leap_second_shown_as_23_59_60",
                   {kStart,
                    kTrusted,
                    {kGood, 1, LEAP},
                    {{999'999us, 1s, 0s}, 1, LEAP},
                    {{1us, 1s}, 1, LEAP},
                    {kGood, 1, LEAP},
                    {kGood, 3, OK}},
                   {"consistent",
                    "within 1 s of the leap second inserted at the end of 2026-12-31: feeding "
                    "nothing",
                    "board followed the leap second inserted at the end of 2026-12-31; feeding "
                    "samples"},
                   60s,
                   kInserted,
                   kLeap - 5},
        HealthCase{"a_leap_second_shown_as_23_59_59_twice",
                   {kStart,
                    kTrusted,
                    {kGood, 1, LEAP},
                    {{0us, 1s, 0s}, 1, LEAP},
                    {kGood, 2, LEAP},
                    {kGood, 3, OK}},
                   {"consistent", "within 1 s of the leap second inserted",
                    "board followed the leap second inserted"},
                   60s,
                   kInserted,
                   kLeap - 5},
        // A board that misses it runs one second ahead of the system clock: a step that no
        // hold-off believes, until the board is right again (here set back by a second).
        HealthCase{"a_missed_leap_second",
                   {kStart,
                    kTrusted,
                    {kGood, 1, LEAP},
                    {{1'000'000us, 1s, 0s}, 1, LEAP},
                    {kGood, 2, LEAP},
                    {kGood, 1, MISSED},
                    {kGood, 120, MISSED},
                    {{1'000'000us, 2s}, 1, RATE},
                    {kGood, 2, RATE},
                    {kGood, 1, OK}},
                   {"consistent", "within 1 s of the leap second inserted",
                    "board missed the leap second inserted at the end of 2026-12-31: +1.000000 s "
                    "against a board that follows it; feeding nothing until it is right again",
                    "board time moved -1.000000 s against the system clock in 2.000000 s",
                    "board time right again after it missed the leap second inserted at the "
                    "end of 2026-12-31 (+0 ns against the system clock); feeding samples"},
                   5s,
                   kInserted,
                   kLeap - 5},
        // A deleted second: the board and the system clock skip 23:59:59.
        HealthCase{
            "a_deleted_leap_second",
            {kStart, kTrusted, {{2'000'000us, 1s, 2s}, 1, LEAP}, {kGood, 1, LEAP}, {kGood, 2, OK}},
            {"consistent", "within 1 s of the leap second deleted at the end of 2026-12-31",
             "board followed the leap second deleted"},
            60s,
            kDeleted,
            kLeap - 5},
        // Bursts 5 s apart, none within 1 s of the leap: the interval across it is judged
        // with the second it takes away all the same.
        HealthCase{"a_leap_second_between_two_sparse_bursts",
                   {{{5'000'000us, 5s}, 2, S},
                    {{5'000'000us, 5s}, 1, OK},
                    {{4'000'000us, 5s, 4s}, 1, OK},
                    {{5'000'000us, 5s}, 1, OK}},
                   {"consistent"},
                   60s,
                   kInserted,
                   kLeap - 17}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Pipeline: verdicts, the -v line and the --max-offset lines.
// ---------------------------------------------------------------------------------------

struct Burst {
    nanoseconds sys_minus_board;  // the system clock's lead over the board
    nanoseconds bracket;
};

std::vector<korvicd::Step> run_pipeline(const korvicd::PipelineLimits &limits,
                                        const std::vector<Burst> &bursts) {
    korvicd::Pipeline p(limits);
    std::vector<korvicd::Step> steps;
    for (std::size_t i = 0; i < bursts.size(); ++i) {
        const std::chrono::microseconds board{(kBase + static_cast<std::int64_t>(i)) * 1'000'000};
        steps.push_back(p.process(
            korvic::BestReading{reading(board + bursts[i].sys_minus_board, board,
                                        static_cast<std::int64_t>(i) * 1s, bursts[i].bracket),
                                0}));
    }
    return steps;
}

TEST(Pipeline, VerdictsInOrderOfTheChecks) {
    korvicd::PipelineLimits limits;
    limits.correction = 250ms;
    limits.max_offset = 1ms;
    // System clock 250.2 ms ahead of the board, corrected by +250 ms: offset -200 us.
    const Burst ok{250'200us, 10us};
    const Burst wide{250'200us, 201us};
    const Burst far{248'000us, 10us};  // offset +2 ms
    const auto steps = run_pipeline(limits, {ok, ok, wide, ok, ok, far, far, ok, ok});
    using V = korvicd::Verdict;
    const std::vector<V> want = {V::untrusted,         V::untrusted, V::wide_bracket,
                                 V::untrusted,         V::feed,      V::beyond_max_offset,
                                 V::beyond_max_offset, V::feed,      V::feed};
    ASSERT_EQ(steps.size(), want.size());
    std::vector<std::string> log;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i].verdict, want[i]) << "burst " << i;
        log.insert(log.end(), steps[i].log.begin(), steps[i].log.end());
    }
    EXPECT_EQ(steps[4].offset, korvic::Offset{-200us});
    EXPECT_EQ(steps[4].reading.bracket(), 10us);
    EXPECT_EQ(steps[5].offset, korvic::Offset{2ms});
    EXPECT_EQ(steps[0].detail,
              "sample: board 2026-11-30T00:53:20.000000Z offset -200.0 us bracket 10.0 us: "
              "dropped, board starting");
    EXPECT_THAT(steps[2].detail, HasSubstr("dropped, bracket wider than 200.0 us"));
    EXPECT_THAT(steps[4].detail, HasSubstr(": fed"));
    EXPECT_THAT(steps[5].detail, HasSubstr("dropped, beyond --max-offset 1.000 ms"));
    EXPECT_THAT(log, ::testing::ElementsAre(
                         HasSubstr("consistent over 3 intervals"),
                         "offset +2.000 ms beyond --max-offset 1.000 ms: refusing samples",
                         "offset -200.0 us within --max-offset again: feeding samples"));
}

// A burst with no valid reading (the system clock stepped back inside each) is dropped for
// that; readings refused beside a valid one are said in its line; a board far outside the
// years shows its exact offset and is not fed.
TEST(Pipeline, ClockStepsAndBoardsOutsideTheYears) {
    korvicd::PipelineLimits limits;
    limits.correction = 250ms;
    korvicd::Pipeline p(limits);
    const korvicd::Step none = p.process(korvic::BestReading{std::nullopt, 5});
    EXPECT_EQ(none.verdict, korvicd::Verdict::clock_stepped);
    EXPECT_EQ(korvicd::drop_of(none.verdict), korvicd::Drop::clock_stepped);
    EXPECT_EQ(none.detail,
              "sample: dropped, the system clock stepped back inside each of 5 readings");
    EXPECT_TRUE(none.log.empty());
    EXPECT_EQ(p.health().state(), Health::starting);

    const std::chrono::microseconds b{kBase * 1'000'000};
    const korvicd::Step one = p.process(korvic::BestReading{reading(b, b, 0s), 2});
    EXPECT_EQ(one.detail,
              "sample: board 2026-11-30T00:53:20.000000Z offset +250.000 ms bracket 10.0 us (2 "
              "of the burst refused: the system clock stepped back): dropped, board starting");

    // Year 0 against a system clock in 2026: 63,963,219,200 s and the correction.
    const std::chrono::microseconds year0{kYear0};
    const korvicd::Step far = p.process(korvic::BestReading{reading(b, year0, 1s), 0});
    EXPECT_EQ(far.verdict, korvicd::Verdict::untrusted);
    EXPECT_EQ(far.offset.seconds_text(), "-63963219199.750000000");
    EXPECT_EQ(far.detail,
              "sample: board 0000-01-01T00:00:00.000000Z offset -63963219199.750000 s "
              "bracket 10.0 us: dropped, board out of range");
    EXPECT_THAT(far.log, ::testing::ElementsAre(HasSubstr("outside 1970 to 2099")));
}

// --require-status: the status word latched with each reading, judged beside the health
// checks; one line when a bit starts to disagree (or another one does), one when all read
// as required again; the state shown names the mismatch, the -v line the bit.
TEST(Pipeline, RequiredStatusBitsDecideWithTheHealth) {
    korvicd::PipelineLimits limits;
    limits.require_status = {{8, true}, {13, true}};
    korvicd::Pipeline p(limits);
    constexpr std::uint32_t kLocked = 1u << 8, kRunning = 1u << 13, kBoth = kLocked | kRunning;
    using V = korvicd::Verdict;
    const struct {
        std::uint32_t status;
        V verdict;
        Health state;
    } bursts[] = {
        {kBoth, V::untrusted, Health::starting},  {kRunning, V::untrusted, Health::status},
        {kBoth, V::untrusted, Health::starting},  {kBoth, V::feed, Health::ok},
        {kRunning, V::untrusted, Health::status}, {kRunning, V::untrusted, Health::status},
        {kLocked, V::untrusted, Health::status},  {kBoth, V::feed, Health::ok},
        {kBoth | 0xFF, V::feed, Health::ok},
    };
    std::vector<std::string> log;
    const std::chrono::microseconds b{kBase * 1'000'000};
    for (std::size_t i = 0; i < std::size(bursts); ++i) {
        const auto at = static_cast<std::int64_t>(i) * 1s;
        Reading r = reading(b + at, b + at, at);
        r.sample.status = bursts[i].status;
        const korvicd::Step st = p.process(korvic::BestReading{r, 0});
        EXPECT_EQ(st.verdict, bursts[i].verdict) << "burst " << i;
        EXPECT_EQ(p.state(), bursts[i].state) << "burst " << i;
        EXPECT_EQ(p.last_status(), bursts[i].status);
        if (i == 4) {
            EXPECT_THAT(st.detail, ::testing::EndsWith(
                                       "dropped, status bit 8 reads 0 (--require-status 8=1)"));
        }
        log.insert(log.end(), st.log.begin(), st.log.end());
    }
    EXPECT_THAT(log, ::testing::ElementsAre(
                         "status bit 8 reads 0 (--require-status 8=1); feeding nothing",
                         "status bit 8 reads 1 again (--require-status 8=1); board starting",
                         HasSubstr("consistent over 3 intervals"),
                         "status bit 8 reads 0 (--require-status 8=1); feeding nothing",
                         "status bit 13 reads 0 (--require-status 13=1); feeding nothing",
                         "status bit 13 reads 1 again (--require-status 13=1); feeding samples"));
    EXPECT_EQ(p.unmet(), std::nullopt);
}

// The leap field of a table's leap second, for the UTC day by the system clock that it
// ends; a table that expires while korvicd runs is said once.
TEST(Pipeline, TheLeapFieldOfTheDayAndAnExpiredTableSaidOnce) {
    korvicd::Pipeline p(korvicd::PipelineLimits{});
    const std::int64_t midnight = (kBase / 86'400 + 1) * 86'400;
    p.set_leaps(
        korvicd::LeapTable{0, 10, {{midnight, 11, korvicd::LeapKind::remove}}, 0, kBase + 2});
    const std::chrono::microseconds b{kBase * 1'000'000};
    std::vector<int> leaps;
    std::vector<std::string> log;
    for (const auto at : {0s, 1s, 2s, 3s, 86'400s}) {
        const korvicd::Step st = p.process(korvic::BestReading{reading(b + at, b + at, at), 0});
        leaps.push_back(st.leap);
        log.insert(log.end(), st.log.begin(), st.log.end());
    }
    EXPECT_EQ(leaps, (std::vector<int>{2, 2, 2, 2, 0}));
    EXPECT_EQ(p.leap(), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "leap second table expired: leap seconds announced since are not known"),
              1);
}

TEST(Pipeline, AWideBracketNeverReachesTheHealthChecks) {
    korvicd::PipelineLimits limits;
    korvicd::Pipeline p(limits);
    const std::chrono::microseconds b{kBase * 1'000'000};
    for (int i = 0; i < 4; ++i)
        p.process(korvic::BestReading{reading(b + i * 1s, b + i * 1s, i * 1s), 0});
    ASSERT_TRUE(p.health().trusted());
    // Same board time a second later (a stopped board), but read through a bracket too
    // wide to tell anything: dropped, and the board stays trusted.
    EXPECT_EQ(p.process(korvic::BestReading{reading(b + 4s, b + 3s, 4s, 300us), 0}).verdict,
              korvicd::Verdict::wide_bracket);
    EXPECT_TRUE(p.health().trusted());
}

TEST(Schedule, DeadlinesStayOnTheGridAndLateBurstsSkipSlots) {
    korvicd::Schedule s(10s, 100ms);
    EXPECT_EQ(s.deadline(), 10s);
    // Bursts that take 3 ms each: the deadlines do not move by them.
    EXPECT_EQ(s.advance(10'003ms), 10'100ms);
    EXPECT_EQ(s.advance(10'103ms), 10'200ms);
    // A burst that ends 350 ms late: the slots it overran are skipped, the grid kept.
    EXPECT_EQ(s.advance(10'550ms), 10'600ms);
    // Ending exactly on a deadline: that one has passed.
    EXPECT_EQ(s.advance(10'700ms), 10'800ms);
    EXPECT_EQ(s.advance(10'801ms), 10'900ms);
}

// ---------------------------------------------------------------------------------------
// Statistics.
// ---------------------------------------------------------------------------------------

TEST(Stats, SummaryOfKeptSamplesAndEveryDrop) {
    korvicd::Stats s;
    EXPECT_EQ(s.line(60s),
              "stats over 60.000000 s: kept 0, dropped 0 (bracket 0, untrusted 0, max offset 0, "
              "queue full 0, chronyd away 0, board busy 0, clock stepped 0), readings refused 0");
    s.kept(korvic::Offset{10us}, 9us);
    s.kept(korvic::Offset{-20us}, 12us);
    s.kept(korvic::Offset{10us}, 8us);
    s.kept(korvic::Offset{40us}, 30us);
    s.refused(2);
    s.dropped(korvicd::Drop::wide_bracket);
    s.dropped(korvicd::Drop::untrusted);
    s.dropped(korvicd::Drop::untrusted);
    s.dropped(korvicd::Drop::queue_full);
    s.dropped(korvicd::Drop::chronyd_away);
    s.dropped(korvicd::Drop::beyond_max_offset);
    s.dropped(korvicd::Drop::board_busy);
    s.dropped(korvicd::Drop::clock_stepped);
    EXPECT_EQ(s.kept_count(), 4u);
    EXPECT_EQ(s.dropped_count(), 8u);
    // mean (10 - 20 + 10 + 40) / 4 = 10; sd sqrt((0 + 900 + 0 + 900) / 4) = 21.21; rms
    // sqrt((100 + 400 + 100 + 1600) / 4) = 23.45.
    EXPECT_EQ(s.line(10s),
              "stats over 10.000000 s: kept 4, dropped 8 (bracket 1, untrusted 2, max offset 1, "
              "queue full 1, chronyd away 1, board busy 1, clock stepped 1), readings refused 2; "
              "offset mean +10.0 us sd 21.2 us rms 23.5 us max +40.0 us; "
              "bracket min 8.0 us median 12.0 us max 30.0 us");
    s.reset();
    EXPECT_EQ(s.kept_count() + s.dropped_count(), 0u);
}

// A board a day off with a jitter of nanoseconds: the spread is the jitter, not what a sum
// of squares of 8.64e13 ns leaves of it; and a steady offset has no spread at all.
TEST(Stats, TheSpreadOfALargeOffsetIsItsJitter) {
    korvicd::Stats s;
    for (const nanoseconds jitter : {-2ns, 0ns, 2ns, 0ns})
        s.kept(korvic::Offset{24h + jitter}, 5us);
    EXPECT_THAT(s.line(4s), HasSubstr("offset mean +86400.000000 s sd 1 ns rms 86400.000000 s"));
    s.reset();
    for (int i = 0; i < 1000; ++i)
        s.kept(korvic::Offset{-1733998us}, 5us);
    EXPECT_THAT(s.line(1000s), HasSubstr("offset mean -1.733998 s sd 0 ns rms 1.733998 s"));
}

TEST(Stats, TheLargestOffsetKeepsItsSign) {
    korvicd::Stats s;
    s.kept(korvic::Offset{5us}, 1us);
    s.kept(korvic::Offset{-7us}, 1us);
    EXPECT_THAT(s.line(1s), HasSubstr("max -7.0 us"));
}

// ---------------------------------------------------------------------------------------
// Wire formats.
// ---------------------------------------------------------------------------------------

korvic::Sample sample(std::int64_t before_ns, std::int64_t after_ns, std::int64_t board_us) {
    korvic::Sample s;
    s.before = korvic::system_time{nanoseconds{before_ns}};
    s.after = korvic::system_time{nanoseconds{after_ns}};
    s.board = korvic::utc_time{std::chrono::microseconds{board_us}};
    return s;
}

TEST(SockSample, NativeLayoutOfChronysDatagram) {
    EXPECT_EQ(sizeof(korvicd::SockSample), 40u);
    EXPECT_EQ(offsetof(korvicd::SockSample, tv), 0u);
    EXPECT_EQ(offsetof(korvicd::SockSample, offset), 16u);
    EXPECT_EQ(offsetof(korvicd::SockSample, pulse), 24u);
    EXPECT_EQ(offsetof(korvicd::SockSample, leap), 28u);
    EXPECT_EQ(offsetof(korvicd::SockSample, magic), 36u);
    EXPECT_EQ(korvicd::kSockMagic, 0x534f434b);
}

struct SockCase {
    std::int64_t before_ns, after_ns, board_us, correction_ns;
    std::int64_t tv_sec, tv_usec;
    double offset;
};

TEST(SockSample, MidpointTruncatedAndOffsetAgainstIt) {
    const std::int64_t T = kBase * 1'000'000'000;
    const SockCase cases[] = {
        // midpoint T + 1.5 us: tv T + 1 us; board T/1000 + 250002 us: offset 0.250001 s.
        {T, T + 3000, T / 1000 + 250'002, 0, kBase, 1, 0.250001},
        // the same with a correction of -1 us.
        {T, T + 3000, T / 1000 + 250'002, -1000, kBase, 1, 0.250000},
        // the board behind: offset negative, the correction in nanoseconds kept.
        {T + 999'999'000, T + 1'000'002'000, T / 1000 + 500'000, 7, kBase + 1, 0, -0.499999993},
        // a midpoint at 999 ns into a microsecond: truncated, never rounded up.
        {T + 1998, T + 2000, T / 1000 + 1, 0, kBase, 1, 0.0},
        // the last instant of 2099 against a system clock in 1700: 400 years, beyond 64-bit
        // nanoseconds (4102444800 + 8520336000 s, less 1 us).
        {-8'520'336'000'000'000'000, -8'520'336'000'000'000'000, 4'102'444'799'999'999, 0,
         -8'520'336'000, 0, 12'622'780'799.999999},
    };
    for (const SockCase &c : cases) {
        const korvicd::SockSample s = korvicd::encode_sock(
            sample(c.before_ns, c.after_ns, c.board_us), nanoseconds{c.correction_ns});
        EXPECT_EQ(s.tv.tv_sec, c.tv_sec);
        EXPECT_EQ(s.tv.tv_usec, c.tv_usec);
        EXPECT_DOUBLE_EQ(s.offset, c.offset);
        EXPECT_EQ(s.pulse, 0);
        EXPECT_EQ(s.leap, 0);
        EXPECT_EQ(s.magic, korvicd::kSockMagic);
    }
}

TEST(ShmRecord, LayoutOfTheNtpSegment) {
    EXPECT_EQ(sizeof(korvicd::ShmTime), 96u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, count), 4u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, clockTimeStampSec), 8u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, clockTimeStampUSec), 16u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, receiveTimeStampSec), 24u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, receiveTimeStampUSec), 32u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, leap), 36u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, precision), 40u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, nsamples), 44u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, valid), 48u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, clockTimeStampNSec), 52u);
    EXPECT_EQ(offsetof(korvicd::ShmTime, receiveTimeStampNSec), 56u);
    EXPECT_EQ(korvicd::shm_key(2), 0x4e545032);
}

TEST(ShmRecord, StampsInSecondsMicrosecondsAndNanoseconds) {
    const std::int64_t T = kBase * 1'000'000'000;
    struct Case {
        korvic::Sample s;
        std::int64_t correction_ns;
        korvicd::ShmRecord want;
    };
    const Case cases[] = {
        {sample(T + 100, T + 9'100, T / 1000 + 250'123),
         0,
         {kBase, 250'123, 250'123'000, kBase, 4, 4'600, -16}},
        // A negative correction across the second: the clock stamp is floored.
        {sample(T + 100, T + 9'100, T / 1000 + 2),
         -3'500,
         {kBase - 1, 999'998, 999'998'500, kBase, 4, 4'600, -16}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(korvicd::encode_shm(c.s, nanoseconds{c.correction_ns}), c.want);
}

TEST(ShmRecord, TheClockStampOfAnyBoardTimeIsExact) {
    // 2099-12-31T23:59:59.999999Z less 1 ns of correction, with the system clock in 1700.
    const korvicd::ShmRecord r = korvicd::encode_shm(
        sample(-8'520'336'000'000'000'000, -8'520'336'000'000'000'000, 4'102'444'799'999'999),
        nanoseconds{-1});
    EXPECT_EQ(r.clock_sec, 4'102'444'799);
    EXPECT_EQ(r.clock_nsec, 999'998'999);
    EXPECT_EQ(r.clock_usec, 999'998);
    EXPECT_EQ(r.receive_sec, -8'520'336'000);
}

TEST(ShmRecord, PrecisionIsTheBracketRoundedUpToAPowerOfTwo) {
    const std::pair<nanoseconds, int> cases[] = {{0ns, -30},     {1ns, -29},     {9us, -16},
                                                 {15258ns, -16}, {15259ns, -15}, {200us, -12},
                                                 {1s, 0},        {1500ms, 1}};
    for (const auto &[bracket, want] : cases)
        EXPECT_EQ(korvicd::precision_of(bracket), want) << bracket.count();
}

TEST(ShmRecord, ModeOneWriteLeavesAWholeValidRecord) {
    korvicd::ShmTime shm{};
    shm.count = 7;
    std::memset(shm.dummy, 0x5a, sizeof shm.dummy);
    const korvicd::ShmRecord r{kBase, 5, 5'123, kBase + 1, 6, 6'999, -17};
    korvicd::write_shm(shm, r);
    EXPECT_EQ(shm.mode, 1);
    EXPECT_EQ(shm.count, 9);  // odd while writing, even when whole
    EXPECT_EQ(shm.valid, 1);
    EXPECT_EQ(shm.clockTimeStampSec, kBase);
    EXPECT_EQ(shm.clockTimeStampUSec, 5);
    EXPECT_EQ(shm.clockTimeStampNSec, 5'123);
    EXPECT_EQ(shm.receiveTimeStampSec, kBase + 1);
    EXPECT_EQ(shm.receiveTimeStampUSec, 6);
    EXPECT_EQ(shm.receiveTimeStampNSec, 6'999);
    EXPECT_EQ(shm.leap, 0);
    EXPECT_EQ(shm.precision, -17);
    EXPECT_EQ(shm.nsamples, 0);
    for (int d : shm.dummy)
        EXPECT_EQ(d, 0x5a5a5a5a);  // untouched
    korvicd::write_shm(shm, r);
    EXPECT_EQ(shm.count, 11);
}

TEST(FormatDuration, UnitByMagnitudeAndSignOnRequest) {
    const std::tuple<nanoseconds, bool, const char *> cases[] = {
        {0ns, false, "0 ns"},
        {999ns, true, "+999 ns"},
        {-5ns, true, "-5 ns"},
        {1000ns, false, "1.0 us"},
        {9'160ns, true, "+9.2 us"},
        {-250ms, true, "-250.000 ms"},
        {999'999ns, false, "1000.0 us"},
        {1s, false, "1.000000 s"},
        {-1500ms, true, "-1.500000 s"},
    };
    for (const auto &[d, sign, want] : cases) {
        EXPECT_EQ(korvicd::format_duration(d, sign), want);
        EXPECT_EQ(korvicd::format_duration(korvic::Offset{d}, sign), want);
    }
    // Beyond 64-bit nanoseconds: seconds, rounded to the microsecond.
    const std::tuple<korvic::Offset, bool, const char *> far[] = {
        {korvic::Offset{10'000'000'000s, 999'999'600ns}, true, "+10000000001.000000 s"},
        {korvic::Offset{-10'000'000'000s, 1'500ns}, false, "-9999999999.999999 s"},
    };
    for (const auto &[d, sign, want] : far)
        EXPECT_EQ(korvicd::format_duration(d, sign), want);
}

}  // namespace
