// Time readers and writers as the board sees them: the snapshot strobe, the readings, the
// order of the written words and the preset load bit, with byte swapping off and on.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "korvic_api.h"
#include "trap_fixture.h"

namespace {

using korvic::test::Access;
using korvic::test::R;
using korvic::test::TrapFixture;
using korvic::test::W;
using Log = std::vector<Access>;

constexpr std::uint32_t kStatus = 0xFC;
constexpr std::uint32_t kConfig = 0x118;
constexpr std::uint32_t kCompare = 0x138;
constexpr std::uint32_t kPreset = 0x158;
constexpr std::uint32_t kEvent = 0x174;
constexpr std::uint32_t kStrobe = 0xFFFFFFFF;
constexpr std::uint32_t kConfigWord = 0x8010000F;  // caller's view; the load bit is clear

class TimeBus : public TrapFixture, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        TrapFixture::SetUp();
        g_byte_swap = GetParam() ? 1 : 0;
        // Every group holds 2026, day 100, 12:34:56.789123, as the caller sees the words.
        set_seen(0x100, 0x78563412);
        set_seen(0x104, 0x00012620);
        for (std::uint32_t base : {kEvent, kPreset}) {
            set_seen(base, 0x23917856);
            set_seen(base + 4, 0x34120001);
            set_seen(base + 8, 0x26200000);
        }
        set_seen(kCompare, 0x23917856);
        set_seen(kCompare + 4, 0x34120051);
        set_seen(kConfig, kConfigWord);
    }
    // Between the caller's view and the bus.
    std::uint32_t conv(std::uint32_t v) const { return GetParam() ? __builtin_bswap32(v) : v; }
    void set_seen(std::uint32_t offset, std::uint32_t v) { regs.set(offset, conv(v)); }
    Access read_of(std::uint32_t offset) const { return R(offset, regs.word(offset)); }
    // The time-and-status words after the strobe, which left all ones at 0xFC.
    Log snapshot_reading() const { return {R(kStatus, kStrobe), read_of(0x100), read_of(0x104)}; }
    Log reads(std::uint32_t base, std::uint32_t words) const {
        Log l;
        for (std::uint32_t k = 0; k < words; ++k)
            l.push_back(read_of(base + 4 * k));
        return l;
    }
};

Log operator+(Log a, const Log &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Log kStrobes{W(kStatus, kStrobe), W(kStatus, kStrobe), W(kStatus, kStrobe)};

// Three strobe writes (the same in either byte order), then the three words twice; the
// caller gets the second reading.
TEST_P(TimeBus, SnapshotMode0StrobesThenReadsTwice) {
    std::uint32_t out[4] = {0, 0, 0, 0xA5A5A5A5};
    ASSERT_EQ(snapshot_time(KORVIC_MODE_RAW, out), 0);
    const Log reading = snapshot_reading();
    EXPECT_EQ(regs.log(), kStrobes + reading + reading);
    EXPECT_EQ(out[0], kStrobe);
    EXPECT_EQ(out[1], 0x78563412u);
    EXPECT_EQ(out[2], 0x00012620u);
    EXPECT_EQ(out[3], 0xA5A5A5A5u);
}

TEST_P(TimeBus, SnapshotOtherModesReadOnce) {
    korvic_broken_down t{};
    for (std::uint32_t mode : {1u, 2u, 3u}) {
        regs.clear_log();
        ASSERT_EQ(snapshot_time(mode, &t), 0);
        EXPECT_EQ(regs.log(), kStrobes + snapshot_reading()) << "mode " << mode;
    }
    EXPECT_EQ(t.seconds, 56);
    EXPECT_EQ(t.years, 2026);
}

// The other readers write nothing; mode 0 loads the group twice, other modes once.
TEST_P(TimeBus, ReadersLoadTheirGroupInOrder) {
    struct Row {
        const char *what;
        std::uint32_t base, words;
    } const rows[] = {{"event", kEvent, 3}, {"preset", kPreset, 3}, {"compare", kCompare, 2}};
    for (const Row &r : rows) {
        for (std::uint32_t mode : {0u, 1u, 2u, 3u}) {
            SCOPED_TRACE(r.what);
            regs.clear_log();
            korvic_broken_down t{};
            std::int32_t mask = -1;
            const std::int32_t result = r.base == kEvent    ? read_external_event_reg(mode, &t)
                                        : r.base == kPreset ? read_preset_time_reg(mode, &t)
                                                            : read_time_cmp_reg(mode, &mask, &t);
            ASSERT_EQ(result, 0);
            const Log once = reads(r.base, r.words);
            EXPECT_EQ(regs.log(), mode == 0 ? once + once : once) << "mode " << mode;
        }
    }
}

// A refused mode: the strobe and one reading have happened, the mask is stored, and the
// caller's object is as it was.
TEST_P(TimeBus, ReadersRefuseModesAfterOneReading) {
    for (std::uint32_t mode : {4u, 0xFFFFFFFFu}) {
        unsigned char object[32];
        std::memset(object, 0xA5, sizeof object);
        std::int32_t mask = -1;

        regs.clear_log();
        EXPECT_EQ(snapshot_time(mode, object), -1);
        EXPECT_EQ(regs.log(), kStrobes + snapshot_reading());

        regs.clear_log();
        EXPECT_EQ(read_external_event_reg(mode, object), -1);
        EXPECT_EQ(regs.log(), reads(kEvent, 3));

        regs.clear_log();
        EXPECT_EQ(read_preset_time_reg(mode, object), -1);
        EXPECT_EQ(regs.log(), reads(kPreset, 3));

        regs.clear_log();
        EXPECT_EQ(read_time_cmp_reg(mode, &mask, object), -1);
        EXPECT_EQ(regs.log(), reads(kCompare, 2));
        EXPECT_EQ(mask, 5);

        for (unsigned char b : object)
            ASSERT_EQ(b, 0xA5) << "mode " << mode;
    }
}

// The three preset words in ascending order, then a read-modify-write of the configuration
// register that sets bit 26 and keeps every other bit.
Log preset_then_load(const std::uint32_t (&image)[3], bool swapped) {
    auto c = [swapped](std::uint32_t v) { return swapped ? __builtin_bswap32(v) : v; };
    return {W(kPreset, c(image[0])), W(kPreset + 4, c(image[1])), W(kPreset + 8, c(image[2])),
            R(kConfig, c(kConfigWord)), W(kConfig, c(kConfigWord | 1u << 26))};
}

TEST_P(TimeBus, PresetWordsThenTheLoadBit) {
    const std::uint32_t image[3] = {0x00301245, 0x37213402, 0x23200000};
    korvic_broken_down t{456, 123, 45, 37, 21, 234, 2023};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &t), 0);
    EXPECT_EQ(regs.log(), preset_then_load(image, GetParam()));

    set_seen(kConfig, kConfigWord);
    regs.clear_log();
    korvic_timespec ts{1'692'740'265, 123'456'789};
    ASSERT_EQ(set_new_time(KORVIC_MODE_TIMESPEC, &ts), 0);
    const std::uint32_t from_timespec[3] = {0x00301245, 0x37213302, 0x23200000};
    EXPECT_EQ(regs.log(), preset_then_load(from_timespec, GetParam()));

    set_seen(kConfig, kConfigWord);
    regs.clear_log();
    std::uint64_t count = 1'691'617'065'123'456;
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_MICROSECONDS, &count), 0);
    EXPECT_EQ(regs.log(), preset_then_load(from_timespec, GetParam()));

    set_seen(kConfig, kConfigWord);
    regs.clear_log();
    std::uint32_t raw[3] = {0x01020304, 0x05060708, 0x090A0B0C};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_RAW, raw), 0);
    EXPECT_EQ(regs.log(), preset_then_load(raw, GetParam()));
}

TEST_P(TimeBus, ResetWritesZerosThenTheLoadBit) {
    ASSERT_EQ(reset_time(), 0);
    EXPECT_EQ(regs.log(), preset_then_load({0, 0, 0}, GetParam()));
}

TEST_P(TimeBus, CompareWritesTwoWordsAndNothingElse) {
    korvic_broken_down t{456, 123, 45, 37, 21, 234, 2023};
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, 0x1F, &t), 0);
    EXPECT_EQ(regs.log(), (Log{W(kCompare, conv(0x56341245)), W(kCompare + 4, conv(0x372134F2))}));

    regs.clear_log();
    std::uint32_t raw[2] = {0x01020304, 0x05060708};
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_RAW, 0xF, raw), 0);
    EXPECT_EQ(regs.log(), (Log{W(kCompare, conv(0x01020304)), W(kCompare + 4, conv(0x05060708))}));
}

TEST_P(TimeBus, WritersRefuseModesWithNoAccess) {
    for (std::uint32_t mode : {4u, 0x80000000u, 0xFFFFFFFFu}) {
        unsigned char object[32];
        std::memset(object, 0xA5, sizeof object);
        EXPECT_EQ(write_preset_time_reg(mode, object), -1);
        EXPECT_EQ(set_new_time(mode, object), -1);
        EXPECT_EQ(write_time_cmp_reg(mode, 3, object), -1);
        EXPECT_EQ(regs.log(), Log{}) << "mode " << mode;
        for (unsigned char b : object)
            ASSERT_EQ(b, 0xA5);
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, TimeBus, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

}  // namespace
