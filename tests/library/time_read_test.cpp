// The four time readers on a plain memory window: every mode, each reader's own offsets,
// byte swapping off and on, and refused modes.
//
// On plain memory the snapshot strobe overwrites the word at 0xFC with all ones, so the
// time-and-status register reads its sub-second digits as 15s: 1665 microseconds and
// milliseconds x10 + 15. The other groups read back exactly what is preloaded.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "korvic_api.h"
#include "memory_window.h"

namespace korvic::test {
namespace {

enum class Which { Snapshot, ExternalEvent, Preset, Compare };

std::int32_t call(Which w, std::uint32_t mode, void *time, std::int32_t *mask) {
    switch (w) {
        case Which::Snapshot:
            return snapshot_time(mode, time);
        case Which::ExternalEvent:
            return read_external_event_reg(mode, time);
        case Which::Preset:
            return read_preset_time_reg(mode, time);
        case Which::Compare:
            return read_time_cmp_reg(mode, mask, time);
    }
    return 99;
}

struct Group {
    const char *name;
    Which which;
    std::uint32_t offset;
    std::uint32_t words;
    std::uint32_t image[3];   // 2026, day 100, 12:34:56.789123 (compare: mask 5, no year)
    korvic_broken_down read;  // what mode 3 gives
};

// clang-format off
const Group kGroups[] = {
    {"snapshot", Which::Snapshot, 0xFC, 3, {0x23910000, 0x78563412, 0x00012620},
     {1665, 795, 56, 34, 12, 100, 2026}},
    {"external event", Which::ExternalEvent, 0x174, 3, {0x23917856, 0x34120001, 0x26200000},
     {123, 789, 56, 34, 12, 100, 2026}},
    {"preset", Which::Preset, 0x158, 3, {0x23917856, 0x34120001, 0x26200000},
     {0, 789, 56, 34, 12, 100, 2026}},
    {"compare", Which::Compare, 0x138, 2, {0x23917856, 0x34120051, 0},
     {123, 789, 56, 34, 12, 100, 0}},
};
// clang-format on

bool same(const korvic_broken_down &a, const korvic_broken_down &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class TimeReaders : public MemoryWindow, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        MemoryWindow::SetUp();
        g_byte_swap = GetParam() ? 1 : 0;
    }
    void preload(const Group &g) {
        for (std::uint32_t k = 0; k < g.words; ++k)
            word(g.offset + 4 * k) = GetParam() ? reversed(g.image[k]) : g.image[k];
    }
};

TEST_P(TimeReaders, Mode3GivesTheDecodedFields) {
    for (const Group &g : kGroups) {
        SCOPED_TRACE(g.name);
        preload(g);
        korvic_broken_down t{-1, -1, -1, -1, -1, -1, -1};
        std::int32_t mask = -1;
        ASSERT_EQ(call(g.which, KORVIC_MODE_BROKEN_DOWN, &t, &mask), 0);
        EXPECT_TRUE(same(t, g.read)) << t.microseconds << " " << t.milliseconds << " " << t.seconds
                                     << " " << t.days << " " << t.years;
        if (g.which == Which::Compare) {
            EXPECT_EQ(mask, 5);
        }
    }
}

TEST_P(TimeReaders, Mode0GivesTheWordsAndNothingMore) {
    for (const Group &g : kGroups) {
        SCOPED_TRACE(g.name);
        preload(g);
        std::uint32_t out[4] = {1, 2, 3, 4};
        std::int32_t mask = -1;
        ASSERT_EQ(call(g.which, KORVIC_MODE_RAW, out, &mask), 0);
        const std::uint32_t first = g.which == Which::Snapshot ? 0xFFFFFFFF : g.image[0];
        EXPECT_EQ(out[0], first);
        EXPECT_EQ(out[1], g.image[1]);
        EXPECT_EQ(out[2], g.words == 3 ? g.image[2] : 3u);
        EXPECT_EQ(out[3], 4u);
    }
}

// The offsets each reader applies, one row per reader and mode: the example fields with
// g_tz_offset 1 (hours), g_day_offset -1 (days) and g_time_offset 100 (seconds).
struct OffsetCase {
    Which which;
    std::int32_t seconds;
    std::int32_t nanoseconds;
    std::uint64_t micros;
};

constexpr std::int64_t kBase = 1'774'701'296;     // 2026, day 100, 12:34:56 in 365-day years
constexpr std::int64_t kCompareBase = 8'685'296;  // day 100, 12:34:56 with no year

// clang-format off
const OffsetCase kOffsets[] = {
    {Which::Snapshot,      kBase + 3600 - 86'400 - 100, 796'665'000, (kBase + 3600) * 1'000'000 + 796'665},
    {Which::ExternalEvent, kBase - 86'400 - 100,        789'123'000, kBase * 1'000'000 + 789'123},
    {Which::Preset,        kBase - 86'400 - 100,        789'000'000, (kBase - 86'400) * 1'000'000 + 789'000},
    {Which::Compare,       kCompareBase + 3600 - 100,   789'123'000, (kCompareBase + 3600) * 1'000'000 + 789'123},
};
// clang-format on

TEST_P(TimeReaders, EachReaderAppliesItsOwnOffsets) {
    g_tz_offset = 1;
    g_day_offset = -1;
    g_time_offset = 100;
    for (const OffsetCase &c : kOffsets) {
        const Group &g = kGroups[static_cast<int>(c.which)];
        SCOPED_TRACE(g.name);
        preload(g);
        korvic_timespec ts{};
        std::int32_t mask = -1;
        ASSERT_EQ(call(g.which, KORVIC_MODE_TIMESPEC, &ts, &mask), 0);
        EXPECT_EQ(ts.seconds, c.seconds);
        EXPECT_EQ(ts.nanoseconds, c.nanoseconds);
        std::uint64_t us = 0;
        ASSERT_EQ(call(g.which, KORVIC_MODE_MICROSECONDS, &us, &mask), 0);
        EXPECT_EQ(us, c.micros);
    }
}

// A refused mode leaves the caller's object as it was; the compare mask is still stored.
TEST_P(TimeReaders, RefusedModesLeaveTheObjectUntouched) {
    for (const std::uint32_t mode : {4u, 5u, 0x80000000u, 0xFFFFFFFFu}) {
        for (const Group &g : kGroups) {
            SCOPED_TRACE(g.name);
            preload(g);
            unsigned char object[32];
            std::memset(object, 0xA5, sizeof object);
            std::int32_t mask = -1;
            EXPECT_EQ(call(g.which, mode, object, &mask), -1) << mode;
            for (unsigned char b : object)
                ASSERT_EQ(b, 0xA5) << "mode " << mode;
            EXPECT_EQ(mask, g.which == Which::Compare ? 5 : -1);
        }
    }
}

// The readers write to the window only the snapshot strobe.
TEST_P(TimeReaders, OnlyTheSnapshotWritesToTheWindow) {
    for (const Group &g : kGroups) {
        SCOPED_TRACE(g.name);
        fill(0x12345678);
        std::int32_t mask = 0;
        korvic_broken_down t{};
        call(g.which, KORVIC_MODE_BROKEN_DOWN, &t, &mask);
        for (std::uint32_t off = 0; off < regs::kWindowBytes; off += 4) {
            const bool strobed = g.which == Which::Snapshot && off == 0xFC;
            ASSERT_EQ(word(off), strobed ? 0xFFFFFFFFu : 0x12345678u) << "offset " << off;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, TimeReaders, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "swapped" : "native"; });

}  // namespace
}  // namespace korvic::test
