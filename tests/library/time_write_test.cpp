// The four time writers on a plain memory window: the preset and compare images for every
// mode, the preset load bit, byte swapping, the caller's object, and refused modes. Also
// round trips: a time written and read back through the library.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "korvic_api.h"
#include "memory_window.h"

namespace korvic::test {
namespace {

constexpr std::uint32_t kPreset = 0x158;
constexpr std::uint32_t kCompare = 0x138;
constexpr std::uint32_t kConfig = 0x118;
constexpr std::uint32_t kLoadBit = 1u << 26;

constexpr korvic_timespec kTimespec2023{1'692'740'265, 123'456'789};  // 2023-08-22 21:37:45
constexpr std::uint64_t kCount2023 = 1'691'617'065'123'456;           // 53 years, day 233
constexpr korvic_broken_down kFields2023{456, 123, 45, 37, 21, 234, 2023};

struct PresetCase {
    const char *what;
    std::uint32_t mode;
    const void *time;
    std::size_t size;
    std::int32_t time_offset;
    std::uint32_t image[3];
};

const std::uint64_t kZero = 0;
const std::uint64_t kEleven = 11'000;

// clang-format off
const PresetCase kPresets[] = {
    {"mode 1", 1, &kTimespec2023, sizeof kTimespec2023, 0,    {0x00301245, 0x37213302, 0x23200000}},
    {"mode 1, offset one hour", 1, &kTimespec2023, sizeof kTimespec2023, 3600, {0x00301245, 0x37223302, 0x23200000}},
    {"mode 2", 2, &kCount2023, 8, 0,       {0x00301245, 0x37213302, 0x23200000}},
    {"mode 2, count 0", 2, &kZero, 8, 0,   {0x00000000, 0x00000000, 0x70190000}},
    {"mode 2, 11 ms", 2, &kEleven, 8, 0,   {0x00100100, 0x00000000, 0x70190000}},
    {"mode 2 ignores the offset", 2, &kCount2023, 8, 3600, {0x00301245, 0x37213302, 0x23200000}},
    {"mode 3", 3, &kFields2023, sizeof kFields2023, 0, {0x00301245, 0x37213402, 0x23200000}},
    {"mode 3 ignores the offset", 3, &kFields2023, sizeof kFields2023, 3600, {0x00301245, 0x37213402, 0x23200000}},
};
// clang-format on

class TimeWriters : public MemoryWindow, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        MemoryWindow::SetUp();
        g_byte_swap = GetParam() ? 1 : 0;
    }
    // The word at an offset as the caller sees it (after byte_swap).
    std::uint32_t seen(std::uint32_t offset) {
        return GetParam() ? reversed(word(offset)) : word(offset);
    }
    void put(std::uint32_t offset, std::uint32_t value) {
        word(offset) = GetParam() ? reversed(value) : value;
    }
};

TEST_P(TimeWriters, PresetImageThenLoadBit) {
    for (const PresetCase &c : kPresets) {
        SCOPED_TRACE(c.what);
        fill(0);
        put(kConfig, 0x8010000F);
        g_time_offset = c.time_offset;
        alignas(8) unsigned char copy[sizeof(korvic_broken_down)] = {};
        std::memcpy(copy, c.time, c.size);
        ASSERT_EQ(write_preset_time_reg(c.mode, copy), 0);
        EXPECT_EQ(seen(kPreset), c.image[0]);
        EXPECT_EQ(seen(kPreset + 4), c.image[1]);
        EXPECT_EQ(seen(kPreset + 8), c.image[2]);
        EXPECT_EQ(seen(kConfig), 0x8010000F | kLoadBit);
        EXPECT_EQ(std::memcmp(copy, c.time, c.size), 0) << "the caller's time changed";
    }
}

// With swapping on, the first word 00 30 12 45 lies in the window as 45 12 30 00.
TEST_P(TimeWriters, FirstPresetWordInTheWindow) {
    korvic_broken_down t = kFields2023;
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &t), 0);
    EXPECT_EQ(word(kPreset), GetParam() ? 0x45123000u : 0x00301245u);
}

TEST_P(TimeWriters, Mode1OffsetIsAddedOnACopy) {
    g_time_offset = 3600;
    korvic_timespec ts = kTimespec2023;
    ASSERT_EQ(set_new_time(KORVIC_MODE_TIMESPEC, &ts), 0);
    EXPECT_EQ(ts.seconds, kTimespec2023.seconds);
    EXPECT_EQ(ts.nanoseconds, kTimespec2023.nanoseconds);
    fill(0);
    ASSERT_EQ(set_new_time(KORVIC_MODE_TIMESPEC, &ts), 0);
    EXPECT_EQ(seen(kPreset + 4), 0x37223302u) << "a second call moved the time again";
    korvic_timespec cmp = kTimespec2023;
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_TIMESPEC, 0, &cmp), 0);
    EXPECT_EQ(seen(kCompare + 4), 0x37223302u);
    EXPECT_EQ(cmp.seconds, kTimespec2023.seconds);
}

TEST_P(TimeWriters, Mode1CountsCalendarYears) {
    struct {
        std::int32_t seconds;
        std::uint32_t words[3];
    } const kCases[] = {
        {0, {0, 0, 0x70190000}},                    // 1970-01-01
        {68'256'000, {0, 0x00006000, 0x72190000}},  // 1972-03-01, yday 60 after the leap day
        {951'868'799, {0x00000059, 0x59235900, 0x00200000}},    // 2000-02-29 23:59:59 (yday 59)
        {-1, {0x00000059, 0x59236403, 0x69190000}},             // 1969-12-31 23:59:59 (yday 364)
        {2'147'483'647, {0x00000007, 0x14031800, 0x38200000}},  // 2038-01-19 03:14:07 (yday 18)
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.seconds);
        korvic_timespec ts{c.seconds, 0};
        ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_TIMESPEC, &ts), 0);
        EXPECT_EQ(seen(kPreset), c.words[0]);
        EXPECT_EQ(seen(kPreset + 4), c.words[1]);
        EXPECT_EQ(seen(kPreset + 8), c.words[2]);
    }
}

struct CompareCase {
    const char *what;
    std::uint32_t mode;
    const void *time;
    std::int32_t mask;
    std::uint32_t image[2];
};

// clang-format off
const CompareCase kCompares[] = {
    {"mode 1, mask 0xA", 1, &kTimespec2023, 0xA, {0x56341245, 0x372133A2}},
    {"mode 2, mask 5", 2, &kCount2023, 5,        {0x56341245, 0x37213352}},
    {"mode 3, mask 0", 3, &kFields2023, 0,       {0x56341245, 0x37213402}},
    {"mode 3, mask 0x1F", 3, &kFields2023, 0x1F, {0x56341245, 0x372134F2}},
};
// clang-format on

TEST_P(TimeWriters, CompareImageWithMaskAndNoLoadBit) {
    for (const CompareCase &c : kCompares) {
        SCOPED_TRACE(c.what);
        fill(0x77777777);
        ASSERT_EQ(write_time_cmp_reg(c.mode, c.mask, const_cast<void *>(c.time)), 0);
        EXPECT_EQ(seen(kCompare), c.image[0]);
        EXPECT_EQ(seen(kCompare + 4), c.image[1]);
        for (std::uint32_t off = 0; off < regs::kWindowBytes; off += 4) {
            if (off != kCompare && off != kCompare + 4) {
                ASSERT_EQ(word(off), 0x77777777u) << "offset " << off;
            }
        }
    }
}

TEST_P(TimeWriters, Mode0PassesTheWordsThrough) {
    std::uint32_t words[3] = {0x01020304, 0x05060708, 0x090A0B0C};
    ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_RAW, words), 0);
    EXPECT_EQ(seen(kPreset), 0x01020304u);
    EXPECT_EQ(seen(kPreset + 8), 0x090A0B0Cu);
    EXPECT_EQ(seen(kConfig), kLoadBit);
    fill(0);
    ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_RAW, 0xF, words), 0);
    EXPECT_EQ(seen(kCompare), 0x01020304u);
    EXPECT_EQ(seen(kCompare + 4), 0x05060708u) << "mode 0 ignores the mask";
    EXPECT_EQ(word(kCompare + 8), 0u);
}

TEST_P(TimeWriters, ResetWritesZerosThenTheLoadBit) {
    fill(0xFFFF0000);
    put(kConfig, 0);
    ASSERT_EQ(reset_time(), 0);
    EXPECT_EQ(word(kPreset), 0u);
    EXPECT_EQ(word(kPreset + 4), 0u);
    EXPECT_EQ(word(kPreset + 8), 0u);
    EXPECT_EQ(seen(kConfig), kLoadBit);
}

// A refused mode writes nothing and leaves the caller's object alone; set_new_time says so.
TEST_P(TimeWriters, RefusedModesTouchNothing) {
    for (const std::uint32_t mode : {4u, 0x80000000u, 0xFFFFFFFFu}) {
        fill(0x3C3C3C3C);
        unsigned char object[32];
        std::memset(object, 0xA5, sizeof object);
        EXPECT_EQ(write_preset_time_reg(mode, object), -1);
        EXPECT_EQ(set_new_time(mode, object), -1);
        EXPECT_EQ(write_time_cmp_reg(mode, 5, object), -1);
        for (unsigned char b : object)
            ASSERT_EQ(b, 0xA5);
        for (std::uint32_t off = 0; off < regs::kWindowBytes; off += 4)
            ASSERT_EQ(word(off), 0x3C3C3C3Cu) << "mode " << mode << " offset " << off;
    }
}

// A preset written in mode 3 reads back in mode 3 as written, microseconds aside, while the
// window still holds the words; a compare time reads back with its mask.
TEST_P(TimeWriters, WrittenTimesReadBack) {
    const std::int32_t days[] = {0, 1, 9, 10, 99, 100, 234, 364, 365, 999};
    const std::int32_t years[] = {0, 1969, 1970, 2000, 2023, 2099, 9999};
    for (std::int32_t d : days) {
        for (std::int32_t y : years) {
            for (std::int32_t f = 0; f < 1000; f += 37) {
                const korvic_broken_down in{f, 999 - f, f % 60, (f + 7) % 60, f % 24, d, y};
                korvic_broken_down t = in;
                ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &t), 0);
                korvic_broken_down back{};
                ASSERT_EQ(read_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &back), 0);
                korvic_broken_down want = in;
                want.microseconds = 0;
                ASSERT_EQ(std::memcmp(&back, &want, sizeof back), 0) << d << " " << y << " " << f;

                const std::int32_t mask = (f + d) & 0xF;
                ASSERT_EQ(write_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, mask, &t), 0);
                std::int32_t mask_back = -1;
                ASSERT_EQ(read_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, &mask_back, &back), 0);
                want = in;
                want.years = 0;
                ASSERT_EQ(std::memcmp(&back, &want, sizeof back), 0) << d << " " << f;
                ASSERT_EQ(mask_back, mask);
            }
        }
    }
}

// A microsecond count below the next 365-day year comes back from the preset in mode 2,
// to the millisecond.
TEST_P(TimeWriters, Mode2CountReadsBack) {
    for (std::uint64_t c :
         {std::uint64_t{0}, std::uint64_t{999}, kCount2023, std::uint64_t{1'774'701'296'789'123},
          std::uint64_t{31'535'999'999'999}}) {
        std::uint64_t in = c;
        ASSERT_EQ(write_preset_time_reg(KORVIC_MODE_MICROSECONDS, &in), 0);
        std::uint64_t back = 0;
        ASSERT_EQ(read_preset_time_reg(KORVIC_MODE_MICROSECONDS, &back), 0);
        EXPECT_EQ(back, c - c % 1000);
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, TimeWriters, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

}  // namespace
}  // namespace korvic::test
