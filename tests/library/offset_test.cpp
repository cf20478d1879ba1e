// korvic::Offset, the board time less the system clock's: exact for boards in the years 0 and
// 9999 against any system clock, where 64-bit nanoseconds overflow; its checked 64-bit
// form at both edges; its text forms; its arithmetic across the second.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "korvic/board.hpp"

namespace {

using korvic::Offset;
using korvic::system_time;
using korvic::utc_time;
using std::chrono::microseconds;
using std::chrono::nanoseconds;
using std::chrono::seconds;
using namespace std::chrono_literals;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// Board times (microseconds since 1970) and system times (nanoseconds since 1970).
constexpr std::int64_t kYear0 = -62'167'219'200'000'000;         // 0000-01-01T00:00:00Z
constexpr std::int64_t kEnd9999 = 253'402'300'799'999'999;       // 9999-12-31T23:59:59.999999Z
constexpr std::int64_t kSystem2026 = 1'796'822'202'173'221'500;  // 2026-12-09T13:16:42.1732215Z

struct BetweenCase {
    const char *name;
    std::int64_t board_us, system_ns;
    std::int64_t seconds, subseconds;  // the exact difference, floored
    const char *ns_text, *s_text;
    std::optional<std::int64_t> ns;  // nothing: beyond 64-bit nanoseconds
};

const BetweenCase kBetween[] = {
    {"equal", 1'000'000, 1'000'000'000, 0, 0, "+0", "+0.000000000", 0},
    {"ahead_250ms", 1'774'701'296'789'123, 1'774'701'296'539'123'000, 0, 250'000'000, "+250000000",
     "+0.250000000", 250'000'000},
    {"behind_by_1ns", 1, 1'001, -1, 999'999'999, "-1", "-0.000000001", -1},
    {"behind_across_the_second", 1'000'000, 1'250'000'001, -1, 749'999'999, "-250000001",
     "-0.250000001", -250'000'001},
    // reset_time's year 0 against a system clock in 2026 (what korvic offset printed as
    // -8623772353378131336 before).
    {"year_0", kYear0 + 3'206, kSystem2026, -63'964'041'403, 829'984'500, "-63964041402170015500",
     "-63964041402.170015500", std::nullopt},
    {"year_9999", kEnd9999, kSystem2026, 251'605'478'597, 826'777'500, "+251605478597826777500",
     "+251605478597.826777500", std::nullopt},
    // Far apart but still within 64-bit nanoseconds: 2262 against 1970.
    {"2262_against_1970", 9'223'372'036'000'000, 0, 9'223'372'036, 0, "+9223372036000000000",
     "+9223372036.000000000", 9'223'372'036'000'000'000},
    // The board's time at the end of its 64-bit count, the system clock at the other end.
    {"ends_of_both_types", kMax, kMin, 9'232'595'408'891, 630'582'808, "+9232595408891630582808",
     "+9232595408891.630582808", std::nullopt},
};

class OffsetBetween : public ::testing::TestWithParam<BetweenCase> {};

TEST_P(OffsetBetween, ExactAndCheckedInEveryForm) {
    const BetweenCase &c = GetParam();
    const Offset o =
        Offset::between(utc_time{microseconds{c.board_us}}, system_time{nanoseconds{c.system_ns}});
    EXPECT_EQ(o.seconds(), seconds{c.seconds});
    EXPECT_EQ(o.subseconds(), nanoseconds{c.subseconds});
    EXPECT_EQ(o.nanoseconds_text(), c.ns_text);
    EXPECT_EQ(o.seconds_text(), c.s_text);
    EXPECT_EQ(o.as_nanoseconds(), c.ns ? std::optional<nanoseconds>{*c.ns} : std::nullopt);
    // The double is within a nanosecond, or its own precision, of the exact value.
    const double exact = static_cast<double>(c.seconds) + static_cast<double>(c.subseconds) / 1e9;
    EXPECT_NEAR(o.to_seconds(), exact, 1e-9 + std::abs(exact) * 1e-15);
    // Back to the board's time from the system clock.
    EXPECT_EQ(Offset::between(utc_time{microseconds{c.board_us}}, system_time{}) -
                  Offset{nanoseconds{c.system_ns}},
              o);
}

INSTANTIATE_TEST_SUITE_P(Offsets, OffsetBetween, ::testing::ValuesIn(kBetween),
                         [](const auto &info) { return std::string(info.param.name); });

// The 64-bit form at its two edges, and one nanosecond beyond each.
TEST(Offset, CheckedNanosecondsAtTheEdgesOfSixtyFourBits) {
    for (const std::int64_t ns : {kMax, kMin, std::int64_t{0}, std::int64_t{-1}, kMin + 1}) {
        const Offset o{nanoseconds{ns}};
        EXPECT_EQ(o.as_nanoseconds(), nanoseconds{ns}) << ns;
        EXPECT_EQ(o.nanoseconds_text(), (ns < 0 ? "" : "+") + std::to_string(ns)) << ns;
    }
    EXPECT_EQ((Offset{nanoseconds{kMax}} + Offset{1ns}).as_nanoseconds(), std::nullopt);
    EXPECT_EQ((Offset{nanoseconds{kMin}} - Offset{1ns}).as_nanoseconds(), std::nullopt);
    EXPECT_EQ((Offset{nanoseconds{kMin}} - Offset{1ns}).nanoseconds_text(), "-9223372036854775809");
}

TEST(Offset, ArithmeticOrderAndMagnitude) {
    EXPECT_EQ(Offset{700ms} + Offset{600ms}, Offset{1300ms});
    EXPECT_EQ(Offset{-700ms} - Offset{600ms}, Offset{-1300ms});
    EXPECT_EQ(-Offset{1ns}, Offset{-1ns});
    EXPECT_EQ(abs(Offset{-250ms}), Offset{250ms});
    EXPECT_EQ(abs(Offset{250ms}), Offset{250ms});
    EXPECT_EQ(Offset(seconds{2}, -1ns), Offset{1'999'999'999ns});
    EXPECT_LT(Offset{-1ns}, Offset{});
    EXPECT_LT(Offset{-2s}, Offset{-1999ms});
    EXPECT_GT(Offset{1ns}, Offset{});
}

}  // namespace
