// The time functions against the simulated board on a virtual clock: a preset written in
// each mode comes back from snapshot_time as the preset time plus the time that passed;
// compare times and masks come back as written; the compare event, the timer stop bit and
// an external event behave as the console relies on. Bus order native and swapped.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "bitfields.h"
#include "board.h"
#include "clock.h"
#include "korvic_api.h"
#include "library_window.h"
#include "trap.h"

namespace {

using korvic::sim::Board;
using korvic::sim::BoardOptions;
using korvic::sim::BusOrder;
using korvic::sim::VirtualClock;

class BoardTarget final : public korvic::sim::MmioTarget {
  public:
    explicit BoardTarget(Board &b) : board_(&b) {}
    std::uint32_t load32(std::uint32_t offset) override { return board_->read(offset); }
    void store32(std::uint32_t offset, std::uint32_t value) override {
        board_->write(offset, value);
    }

  private:
    Board *board_;
};

constexpr std::int64_t kPowerUp = 1'000'000'000'000'000;  // 2001-09-09, any start will do
// 1 h 2 min 3.456 s of board time between the preset and the snapshot.
constexpr std::int64_t kElapsed = 3'723'456'000;

BoardOptions options(bool swapped) {
    BoardOptions o;
    o.bus_order = swapped ? BusOrder::Swapped : BusOrder::Native;
    return o;
}

// Parameter: the board presents byte-reversed words, and the library swaps them back.
class OnBoard : public ::testing::TestWithParam<bool> {
  protected:
    OnBoard() : board(clock, options(GetParam())), target(board), window(target, 512) {}

    korvic_broken_down snapshot() {
        korvic_broken_down t{};
        EXPECT_EQ(snapshot_time(KORVIC_MODE_BROKEN_DOWN, &t), 0);
        return t;
    }

    VirtualClock clock{kPowerUp, 0};
    Board board;
    BoardTarget target;
    korvic::sim::TrapWindow window;
    korvic::test::LibraryWindow attached{window.base(), GetParam() ? 1 : 0};
};

bool same(const korvic_broken_down &a, const korvic_broken_down &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string show(const korvic_broken_down &t) {
    return std::to_string(t.years) + "-" + std::to_string(t.days) + " " + std::to_string(t.hours) +
           ":" + std::to_string(t.minutes) + ":" + std::to_string(t.seconds) + "." +
           std::to_string(t.milliseconds) + "." + std::to_string(t.microseconds);
}

TEST_P(OnBoard, PresetInMode3ThenTheTimeRuns) {
    korvic_broken_down preset{999, 789, 56, 34, 12, 100, 2026};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &preset), 0);
    EXPECT_TRUE(same(snapshot(), {0, 789, 56, 34, 12, 100, 2026})) << show(snapshot());
    clock.advance(kElapsed);
    // 12:34:56.789 + 1:02:03.456 = 13:37:00.245; the preset holds no microseconds.
    const korvic_broken_down now = snapshot();
    EXPECT_TRUE(same(now, {0, 245, 0, 37, 13, 100, 2026})) << show(now);
}

TEST_P(OnBoard, PresetInMode2ThenTheTimeRuns) {
    std::uint64_t count = 1'774'701'296'789'123;  // 2026, day 100, 12:34:56.789123
    ASSERT_EQ(set_new_time(KORVIC_MODE_MICROSECONDS, &count), 0);
    clock.advance(kElapsed);
    std::uint64_t now = 0;
    ASSERT_EQ(snapshot_time(KORVIC_MODE_MICROSECONDS, &now), 0);
    EXPECT_EQ(now, 1'774'701'296'789'000u + kElapsed);
}

// The mode 1 writer goes through the calendar; the readers count 365-day years, so mode 1
// read back is the calendar seconds less one day per leap day since 1970 (13 by 2023).
TEST_P(OnBoard, PresetInMode1ThenTheTimeRuns) {
    korvic_timespec ts{1'692'740'265, 123'456'789};  // 2023-08-22 21:37:45.123456789
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_TIMESPEC, &ts), 0);
    clock.advance(kElapsed);
    const korvic_broken_down now = snapshot();
    EXPECT_TRUE(same(now, {0, 579, 48, 39, 22, 233, 2023})) << show(now);
    korvic_timespec back{};
    ASSERT_EQ(snapshot_time(KORVIC_MODE_TIMESPEC, &back), 0);
    EXPECT_EQ(back.seconds, 1'692'740'265 + 3'723 - 13 * 86'400);
    EXPECT_EQ(back.nanoseconds, 579'000'000);
}

TEST_P(OnBoard, PresetInMode0ThenTheTimeRuns) {
    std::uint32_t words[3] = {0x00301245, 0x37213402, 0x23200000};  // 2023, day 234, 21:37:45.123
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_RAW, words), 0);
    clock.advance(kElapsed);
    const korvic_broken_down now = snapshot();
    EXPECT_TRUE(same(now, {0, 579, 48, 39, 22, 234, 2023})) << show(now);
    std::uint32_t raw[3] = {};
    ASSERT_EQ(snapshot_time(KORVIC_MODE_RAW, raw), 0);
    EXPECT_EQ(raw[1], 0x57483922u);  // milliseconds 57, seconds 48, minutes 39, hours 22
    EXPECT_EQ(raw[2] & 0xFF0FFFFFu, 0x34022320u);  // day 234, year 23 + 20 x 100; status aside
}

TEST_P(OnBoard, PresetReadsBackBeforeTheLoad) {
    korvic_broken_down preset{456, 123, 45, 37, 21, 234, 2023};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &preset), 0);
    korvic_broken_down back{};
    ASSERT_EQ(read_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &back), 0);
    EXPECT_TRUE(same(back, {0, 123, 45, 37, 21, 234, 2023})) << show(back);
    EXPECT_EQ(read_conf_reg_bitfield(korvic::fields::kPresetLoad), 0) << "the load bit clears";
}

TEST_P(OnBoard, ResetLoadsTheZeroTime) {
    ASSERT_EQ(reset_time(), 0);
    clock.advance(kElapsed);
    const korvic_broken_down now = snapshot();
    EXPECT_TRUE(same(now, {0, 456, 3, 2, 1, 0, 0})) << show(now);
}

TEST_P(OnBoard, CompareTimeAndMaskReadBack) {
    korvic_broken_down fields{456, 123, 45, 37, 21, 234, 2023};
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, 5, &fields), 0);
    korvic_broken_down back{};
    std::int32_t mask = -1;
    ASSERT_EQ(read_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, &mask, &back), 0);
    EXPECT_TRUE(same(back, {456, 123, 45, 37, 21, 234, 0})) << show(back);
    EXPECT_EQ(mask, 5);

    std::uint64_t count = 1'691'617'065'123'456;  // 53 years, day 233, 21:37:45.123456
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_MICROSECONDS, 0xA, &count), 0);
    std::uint64_t count_back = 0;
    ASSERT_EQ(read_time_cmp_reg(KORVIC_MODE_MICROSECONDS, &mask, &count_back), 0);
    EXPECT_EQ(count_back, count % 31'536'000'000'000);
    EXPECT_EQ(mask, 0xA);

    korvic_timespec ts{1'692'740'265, 123'456'789};
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_TIMESPEC, 0x1F, &ts), 0);
    korvic_timespec ts_back{};
    ASSERT_EQ(read_time_cmp_reg(KORVIC_MODE_TIMESPEC, &mask, &ts_back), 0);
    EXPECT_EQ(ts_back.seconds, 233 * 86'400 + 21 * 3'600 + 37 * 60 + 45);  // from the year's start
    EXPECT_EQ(ts_back.nanoseconds, 123'456'000);
    EXPECT_EQ(mask, 0xF);
}

// The console's compare test: the event flag (status selector 3) rises when the board time
// passes the compare time, and the clear bit (control selector 1) lowers it.
TEST_P(OnBoard, CompareEventRisesAndClears) {
    korvic_broken_down preset{0, 0, 0, 0, 12, 100, 2026};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &preset), 0);
    korvic_broken_down at{0, 0, 1, 0, 12, 100, 0};  // 12:00:01.000000 on day 100
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, 0, &at), 0);
    clock.advance(600'000);
    EXPECT_EQ(read_hw_stat_reg_bitfield(korvic::fields::kCompareEvent), 0);
    clock.advance(600'000);
    EXPECT_EQ(read_hw_stat_reg_bitfield(korvic::fields::kCompareEvent), 1);
    ASSERT_EQ(write_hw_ctl_reg_bitfield(korvic::fields::kCompareEventClear, 1), 0);
    EXPECT_EQ(read_hw_stat_reg_bitfield(korvic::fields::kCompareEvent), 0);
}

TEST_P(OnBoard, TimerStopFreezesTheTime) {
    korvic_broken_down preset{0, 500, 0, 0, 0, 10, 2030};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &preset), 0);
    ASSERT_EQ(write_conf_reg_bitfield(korvic::fields::kTimerStop, 1), 0);
    clock.advance(kElapsed);
    EXPECT_TRUE(same(snapshot(), {0, 500, 0, 0, 0, 10, 2030})) << show(snapshot());
    ASSERT_EQ(write_conf_reg_bitfield(korvic::fields::kTimerStop, 0), 0);
    clock.advance(250'000);
    EXPECT_TRUE(same(snapshot(), {0, 750, 0, 0, 0, 10, 2030})) << show(snapshot());
}

TEST_P(OnBoard, ExternalEventHoldsTheBoardTimeOfTheEvent) {
    korvic_broken_down preset{0, 0, 0, 0, 8, 300, 2024};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &preset), 0);
    clock.advance(1'234'567);
    board.request_external_event();  // captured at the start of the next access
    EXPECT_EQ(read_hw_stat_reg_bitfield(korvic::fields::kCompareEvent), 0);
    clock.advance(kElapsed);
    korvic_broken_down event{};
    ASSERT_EQ(read_external_event_reg(KORVIC_MODE_BROKEN_DOWN, &event), 0);
    EXPECT_TRUE(same(event, {567, 234, 1, 0, 8, 300, 2024})) << show(event);
}

INSTANTIATE_TEST_SUITE_P(BusOrder, OnBoard, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

}  // namespace
