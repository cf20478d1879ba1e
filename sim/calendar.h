// The board's notion of time: microseconds since 1970-01-01 00:00:00 on the proleptic
// Gregorian calendar (no leap seconds), broken down the way the board counts: full year,
// day of year from 0 (31 December of a leap year is day 365), time of day to the
// microsecond.
#pragma once

#include <cstdint>

namespace korvic::sim {

inline constexpr std::int64_t kUsPerMs = 1000;
inline constexpr std::int64_t kUsPerSecond = 1000 * kUsPerMs;
inline constexpr std::int64_t kUsPerMinute = 60 * kUsPerSecond;
inline constexpr std::int64_t kUsPerHour = 60 * kUsPerMinute;
inline constexpr std::int64_t kUsPerDay = 24 * kUsPerHour;

struct BoardFields {
    std::int32_t year = 1970;
    std::int32_t yday = 0;  // from 0
    std::int32_t hour = 0, minute = 0, second = 0;
    std::int32_t millisecond = 0, microsecond = 0;

    friend bool operator==(const BoardFields &, const BoardFields &) = default;
};

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

constexpr bool is_leap_year(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

constexpr std::int32_t days_in_year(std::int64_t y) {
    return is_leap_year(y) ? 366 : 365;
}

// Days from 1970-01-01 to 1 January of year y.
constexpr std::int64_t days_to_year(std::int64_t y) {
    // Whole 400-year cycles (146097 days) first, so the leap-day count below stays simple.
    const std::int64_t cycles = floor_div(y - 1970, 400);
    std::int64_t yy = 1970 + cycles * 400;
    std::int64_t days = cycles * 146097;
    for (; yy < y; ++yy)
        days += days_in_year(yy);
    return days;
}

// The instant of a broken-down time. Fields beyond their range carry into the next field
// (day 366 of a common year is 1 January of the next).
constexpr std::int64_t to_us(const BoardFields &f) {
    return days_to_year(f.year) * kUsPerDay + std::int64_t{f.yday} * kUsPerDay +
           std::int64_t{f.hour} * kUsPerHour + std::int64_t{f.minute} * kUsPerMinute +
           std::int64_t{f.second} * kUsPerSecond + std::int64_t{f.millisecond} * kUsPerMs +
           f.microsecond;
}

constexpr BoardFields from_us(std::int64_t us) {
    BoardFields f;
    std::int64_t days = floor_div(us, kUsPerDay);
    std::int64_t tod = us - days * kUsPerDay;
    std::int64_t year = 1970 + floor_div(days, 146097) * 400;
    days -= floor_div(days, 146097) * 146097;
    while (days >= days_in_year(year)) {
        days -= days_in_year(year);
        ++year;
    }
    f.year = static_cast<std::int32_t>(year);
    f.yday = static_cast<std::int32_t>(days);
    f.hour = static_cast<std::int32_t>(tod / kUsPerHour);
    tod %= kUsPerHour;
    f.minute = static_cast<std::int32_t>(tod / kUsPerMinute);
    tod %= kUsPerMinute;
    f.second = static_cast<std::int32_t>(tod / kUsPerSecond);
    tod %= kUsPerSecond;
    f.millisecond = static_cast<std::int32_t>(tod / kUsPerMs);
    f.microsecond = static_cast<std::int32_t>(tod % kUsPerMs);
    return f;
}

// The span of time the board model holds: from 1 January of year 0 (the earliest instant a
// preset can load) to the last microsecond of year 99999. A clock driven beyond either end
// holds the board at that end; nothing wraps, and every sum of board times below stays far
// inside 64 bits.
inline constexpr std::int64_t kBoardEarliestUs = days_to_year(0) * kUsPerDay;
inline constexpr std::int64_t kBoardLatestUs = days_to_year(100000) * kUsPerDay - 1;

// a + b and a - b, held at the limits of 64 bits instead of overflowing.
constexpr std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}
constexpr std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    std::int64_t r = 0;
    if (__builtin_sub_overflow(a, b, &r))
        return b < 0 ? INT64_MAX : INT64_MIN;
    return r;
}
constexpr std::int64_t clamp_board_time(std::int64_t t) {
    return t < kBoardEarliestUs ? kBoardEarliestUs : t > kBoardLatestUs ? kBoardLatestUs : t;
}

static_assert(days_to_year(2000) == 10957);
static_assert(from_us(kBoardEarliestUs).year == 0 && from_us(kBoardLatestUs).year == 99999);
static_assert(saturating_add(INT64_MAX - 1, 5) == INT64_MAX);
static_assert(saturating_sub(INT64_MIN + 1, 5) == INT64_MIN);
static_assert(from_us(to_us({2024, 365, 23, 59, 59, 999, 999})).yday == 365);
static_assert(from_us(to_us({2024, 365, 23, 59, 59, 999, 999}) + 1).year == 2025);
static_assert(from_us(-1).year == 1969 && from_us(-1).yday == 364);

}  // namespace korvic::sim
