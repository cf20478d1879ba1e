// The board's BCD time words and the conversions between them and the caller's time
// representations. Pure functions with no register access and no globals: the offsets
// that enter a conversion are arguments, so every conversion is tested with no window.
//
// A group's words are taken after byte_swap, word 0 first; their bytes are named L[0] to
// L[11], L[4k] being bits 31..24 of word k and L[4k+3] bits 7..0. A BCD byte holds two
// decimal digits, the more significant one in its high nibble.
//
// All wrapping arithmetic is done in unsigned types and converted at the end: mode 1 wraps
// as 32-bit two's complement, mode 2 as 64-bit with every factor widened from a signed
// 32-bit value.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>

#include "korvic_api.h"

namespace korvic::codec {

// ---------------------------------------------------------------------------------------
// Bytes, nibbles and BCD.
// ---------------------------------------------------------------------------------------

using Words = std::array<std::uint32_t, 3>;  // a group's words; the compare group uses two
using Bytes = std::array<std::uint8_t, 12>;  // L[0] .. L[11]

constexpr std::uint8_t byte_at(const Words &w, std::size_t i) {
    return static_cast<std::uint8_t>(w[i / 4] >> (24 - 8 * (i % 4)));
}
constexpr Bytes bytes_of(const Words &w) {
    Bytes b{};
    for (std::size_t i = 0; i < b.size(); ++i)
        b[i] = byte_at(w, i);
    return b;
}
constexpr Words words_of(const Bytes &b) {
    Words w{};
    for (std::size_t k = 0; k < w.size(); ++k)
        w[k] = std::uint32_t{b[4 * k]} << 24 | std::uint32_t{b[4 * k + 1]} << 16 |
               std::uint32_t{b[4 * k + 2]} << 8 | std::uint32_t{b[4 * k + 3]};
    return w;
}

constexpr std::uint32_t hi(std::uint8_t x) {
    return x >> 4;
}
constexpr std::uint32_t lo(std::uint8_t x) {
    return x & 0x0Fu;
}
// Digits above 9 are not checked: they count with their binary value (0x1F is 25).
constexpr std::uint32_t bcd(std::uint8_t x) {
    return hi(x) * 10 + lo(x);
}
// The BCD byte of v for v below 100; larger values keep the low 8 bits of the same sum.
constexpr std::uint8_t enc(std::uint32_t v) {
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}

// ---------------------------------------------------------------------------------------
// Fields and layouts.
// ---------------------------------------------------------------------------------------

// The seven time fields, in the order of struct korvic_broken_down.
enum class Field : std::uint8_t { Micro, Milli, Second, Minute, Hour, Day, Year };
inline constexpr std::size_t kFieldCount = 7;

inline constexpr std::int32_t korvic_broken_down::*kFieldMember[kFieldCount] = {
    &korvic_broken_down::microseconds, &korvic_broken_down::milliseconds,
    &korvic_broken_down::seconds,      &korvic_broken_down::minutes,
    &korvic_broken_down::hours,        &korvic_broken_down::days,
    &korvic_broken_down::years,
};
constexpr std::int32_t &at(korvic_broken_down &t, Field f) {
    return t.*kFieldMember[static_cast<std::size_t>(f)];
}
constexpr std::int32_t at(const korvic_broken_down &t, Field f) {
    return t.*kFieldMember[static_cast<std::size_t>(f)];
}

// Where a slot's digits lie in its byte.
enum class Part : std::uint8_t {
    Both,  // two digits: BCD of the whole byte
    Hi,    // one digit in bits 7..4
    Lo,    // one digit in bits 3..0
};
// How a writer fills the slot from q = (field / weight), reduced mod `modulus` when that
// is non-zero: enc(q), or q itself shifted to the slot's nibble. The two agree for every
// field in range; beyond it they decide which invalid bytes the board receives.
enum class Fill : std::uint8_t { Enc, Digit };

struct Slot {
    Field field;
    std::uint8_t byte;  // L[byte]
    Part part;
    std::uint32_t weight;   // worth of the slot's least significant digit in the field
    std::uint32_t modulus;  // 0 for the slot that holds a field's top digits
    Fill fill;
};

// clang-format off

// Time-and-status register (0xFC, 0x100, 0x104). L[2] and L[3] carry hardware status bits,
// and hi(L[9]) a status nibble; none of them is part of the time.
inline constexpr Slot kTimeStatusLayout[] = {
    // field          byte part        weight modulus fill
    {Field::Micro,   0,  Part::Both,  1,    100, Fill::Enc},
    {Field::Micro,   1,  Part::Lo,    100,  0,   Fill::Digit},
    {Field::Milli,   1,  Part::Hi,    1,    10,  Fill::Digit},
    {Field::Milli,   4,  Part::Both,  10,   0,   Fill::Enc},
    {Field::Second,  5,  Part::Both,  1,    0,   Fill::Enc},
    {Field::Minute,  6,  Part::Both,  1,    0,   Fill::Enc},
    {Field::Hour,    7,  Part::Both,  1,    0,   Fill::Enc},
    {Field::Day,     8,  Part::Both,  1,    100, Fill::Enc},
    {Field::Day,     9,  Part::Lo,    100,  0,   Fill::Enc},
    {Field::Year,    10, Part::Both,  1,    100, Fill::Enc},
    {Field::Year,    11, Part::Both,  100,  0,   Fill::Enc},
};

// External event, preset time and time compare registers: the digits follow one another
// from L[0]. hi(L[7]) is the compare mask in the time compare register; L[10] and L[11]
// hold nothing.
inline constexpr Slot kEventLayout[] = {
    // field          byte part        weight modulus fill
    {Field::Micro,   0,  Part::Both,  1,    100, Fill::Enc},
    {Field::Micro,   1,  Part::Lo,    100,  0,   Fill::Digit},
    {Field::Milli,   1,  Part::Hi,    1,    10,  Fill::Digit},
    {Field::Milli,   2,  Part::Both,  10,   0,   Fill::Enc},
    {Field::Second,  3,  Part::Both,  1,    0,   Fill::Enc},
    {Field::Minute,  4,  Part::Both,  1,    0,   Fill::Enc},
    {Field::Hour,    5,  Part::Both,  1,    0,   Fill::Enc},
    {Field::Day,     6,  Part::Both,  1,    100, Fill::Enc},
    {Field::Day,     7,  Part::Lo,    100,  0,   Fill::Enc},
    {Field::Year,    8,  Part::Both,  1,    100, Fill::Enc},
    {Field::Year,    9,  Part::Both,  100,  0,   Fill::Enc},
};

// clang-format on

constexpr std::uint8_t field_bit(Field f) {
    return static_cast<std::uint8_t>(1u << static_cast<unsigned>(f));
}
inline constexpr std::uint8_t kAllFields = 0x7F;

// A register group that holds a time: its layout, the fields it holds (the others read as
// 0 and are not written) and its number of words.
struct Group {
    std::span<const Slot> layout;
    std::uint8_t fields;
    std::uint32_t words;
};

inline constexpr Group kTimeStatus{kTimeStatusLayout, kAllFields, 3};
inline constexpr Group kExternalEvent{kEventLayout, kAllFields, 3};
inline constexpr Group kPresetTime{kEventLayout, kAllFields & ~field_bit(Field::Micro), 3};
inline constexpr Group kTimeCompare{kEventLayout, kAllFields & ~field_bit(Field::Year), 2};

// The time compare register's 4-bit mask: hi(L[7]), beside the hundreds digit of the days.
inline constexpr std::size_t kCompareMaskByte = 7;

// ---------------------------------------------------------------------------------------
// Decoding and encoding a group.
// ---------------------------------------------------------------------------------------

constexpr std::uint32_t digits(std::uint8_t b, Part p) {
    switch (p) {
        case Part::Both:
            return bcd(b);
        case Part::Hi:
            return hi(b);
        case Part::Lo:
            return lo(b);
    }
    return 0;
}

// One slot's share of its field, read from the words.
template <Slot S>
constexpr void decode_slot(const Words &w, std::uint32_t (&sum)[kFieldCount]) {
    sum[static_cast<std::size_t>(S.field)] += digits(byte_at(w, S.byte), S.part) * S.weight;
}

// One slot's share of its byte, from the field taken as an unsigned 32-bit value.
template <Slot S>
constexpr void encode_slot(const korvic_broken_down &t, std::uint32_t (&sum)[Bytes{}.size()]) {
    std::uint32_t q = static_cast<std::uint32_t>(at(t, S.field)) / S.weight;
    if constexpr (S.modulus != 0)
        q %= S.modulus;
    if constexpr (S.fill == Fill::Enc)
        sum[S.byte] += enc(q);
    else
        sum[S.byte] += q << (S.part == Part::Hi ? 4 : 0);
}

// Decoding and encoding walk a group's layout at compile time, so every weight and
// modulus is a constant: the walk costs a few multiplications, not a division per slot.
template <const Group &G>
constexpr bool holds(std::size_t slot) {
    return (G.fields & field_bit(G.layout[slot].field)) != 0;
}

// The broken-down time that a group's words hold; fields the group lacks are 0.
template <const Group &G>
constexpr korvic_broken_down decode(const Words &w) {
    std::uint32_t sum[kFieldCount] = {};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((holds<G>(I) ? decode_slot<G.layout[I]>(w, sum) : void()), ...);
    }
    (std::make_index_sequence<G.layout.size()>{});
    korvic_broken_down t{};
    for (std::size_t i = 0; i < kFieldCount; ++i)
        at(t, static_cast<Field>(i)) = static_cast<std::int32_t>(sum[i]);
    return t;
}

constexpr std::int32_t compare_mask(const Words &w) {
    return static_cast<std::int32_t>(hi(byte_at(w, kCompareMaskByte)));
}

// What the slots of a group put into each byte L[i], before the byte keeps its low 8 bits.
using ByteSums = std::uint32_t[Bytes{}.size()];

template <const Group &G>
constexpr void encode_sums(const korvic_broken_down &t, ByteSums &sum) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((holds<G>(I) ? encode_slot<G.layout[I]>(t, sum) : void()), ...);
    }
    (std::make_index_sequence<G.layout.size()>{});
}

// The words of a group's image: byte L[i] is the low 8 bits of its sum.
template <const Group &G>
constexpr Words pack(const ByteSums &sum) {
    Words w{};
    for (std::size_t k = 0; k < G.words; ++k)
        w[k] = (sum[4 * k] & 0xFFu) << 24 | (sum[4 * k + 1] & 0xFFu) << 16 |
               (sum[4 * k + 2] & 0xFFu) << 8 | (sum[4 * k + 3] & 0xFFu);
    return w;
}

// The group's register image of a broken-down time. Fields are not range-checked; each
// byte keeps the low 8 bits of what its slots put in. Bytes and fields the group does not
// hold are 0.
template <const Group &G>
constexpr Words encode(const korvic_broken_down &t) {
    ByteSums sum = {};
    encode_sums<G>(t, sum);
    return pack<G>(sum);
}

// The time compare image: the time with the low four bits of the mask in hi(L[7]).
constexpr Words encode_compare(const korvic_broken_down &t, std::int32_t mask) {
    ByteSums sum = {};
    encode_sums<kTimeCompare>(t, sum);
    sum[kCompareMaskByte] |= (static_cast<std::uint32_t>(mask) & 0xFu) << 4;
    return pack<kTimeCompare>(sum);
}

// ---------------------------------------------------------------------------------------
// Time modes 1 and 2. Every year counts 365 days from 1970.
// ---------------------------------------------------------------------------------------

inline constexpr std::int32_t kEpochYear = 1970;
inline constexpr std::uint32_t kSecondsPerMinute = 60;
inline constexpr std::uint32_t kSecondsPerHour = 3'600;
inline constexpr std::uint32_t kSecondsPerDay = 86'400;
inline constexpr std::uint32_t kSecondsPerYear = 31'536'000;
inline constexpr std::uint32_t kNanosPerMicro = 1'000;
inline constexpr std::uint32_t kNanosPerMilli = 1'000'000;
inline constexpr std::uint64_t kMicrosPerMilli = 1'000;
inline constexpr std::uint64_t kMicrosPerSecond = 1'000'000;
inline constexpr std::uint64_t kMicrosPerMinute = 60'000'000;
inline constexpr std::uint64_t kMicrosPerHour = 3'600'000'000;
inline constexpr std::uint64_t kMicrosPerDay = 86'400'000'000;
inline constexpr std::uint64_t kMicrosPerYear = 31'536'000'000'000;

// The offsets that one conversion applies: hours, days, seconds (subtracted; mode 1 only),
// and whether the group has a year term (the time compare register has none).
struct Offsets {
    std::int32_t hours = 0;
    std::int32_t days = 0;
    std::int32_t seconds = 0;
    bool year_term = true;
};

constexpr std::uint32_t u32(std::int32_t v) {
    return static_cast<std::uint32_t>(v);
}
// A signed 32-bit value widened to 64 bits, as an unsigned 64-bit quantity.
constexpr std::uint64_t wide(std::uint32_t v32) {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(v32)));
}

// Mode 1: seconds and nanoseconds, 32-bit two's complement arithmetic.
constexpr korvic_timespec to_timespec(const korvic_broken_down &t, const Offsets &o) {
    std::uint32_t s = u32(t.seconds) + u32(t.minutes) * kSecondsPerMinute +
                      (u32(t.hours) + u32(o.hours)) * kSecondsPerHour +
                      (u32(t.days) + u32(o.days)) * kSecondsPerDay - u32(o.seconds);
    if (o.year_term)
        s += (u32(t.years) - u32(kEpochYear)) * kSecondsPerYear;
    const std::uint32_t ns =
        u32(t.microseconds) * kNanosPerMicro + u32(t.milliseconds) * kNanosPerMilli;
    return {static_cast<std::int32_t>(s), static_cast<std::int32_t>(ns)};
}

// Mode 2: microseconds, modulo 2^64; the seconds offset does not enter.
constexpr std::uint64_t to_microseconds(const korvic_broken_down &t, const Offsets &o) {
    std::uint64_t c = wide(u32(t.microseconds)) + wide(u32(t.milliseconds)) * kMicrosPerMilli +
                      wide(u32(t.seconds)) * kMicrosPerSecond +
                      wide(u32(t.minutes)) * kMicrosPerMinute +
                      wide(u32(t.hours) + u32(o.hours)) * kMicrosPerHour +
                      wide(u32(t.days) + u32(o.days)) * kMicrosPerDay;
    if (o.year_term)
        c += wide(u32(t.years) - u32(kEpochYear)) * kMicrosPerYear;
    return c;
}

// Mode 2 written: a microsecond count split into fields. `remaining` carries the running
// remainder and `quotient` each quotient as it is split off (the writers pass their
// scratch globals); afterwards they hold the last ones: the count below one second and
// the milliseconds. Without `with_year` the whole years are dropped and years is 0.
constexpr korvic_broken_down split_microseconds(std::uint64_t count, bool with_year,
                                                std::uint64_t &remaining, std::uint64_t &quotient) {
    korvic_broken_down t{};
    if (with_year) {
        quotient = count / kMicrosPerYear;
        t.years = static_cast<std::int32_t>(u32(kEpochYear) + static_cast<std::uint32_t>(quotient));
    }
    remaining = count % kMicrosPerYear;
    struct Step {
        std::int32_t korvic_broken_down::*field;
        std::uint64_t unit;
    };
    constexpr Step kSteps[] = {
        {&korvic_broken_down::days, kMicrosPerDay},
        {&korvic_broken_down::hours, kMicrosPerHour},
        {&korvic_broken_down::minutes, kMicrosPerMinute},
        {&korvic_broken_down::seconds, kMicrosPerSecond},
    };
    for (const Step &s : kSteps) {
        quotient = remaining / s.unit;
        t.*s.field = static_cast<std::int32_t>(quotient);
        remaining %= s.unit;
    }
    quotient = remaining / kMicrosPerMilli;
    t.milliseconds = static_cast<std::int32_t>(quotient);
    t.microseconds = static_cast<std::int32_t>(remaining % kMicrosPerMilli);
    return t;
}

// Mode 1 written: the sub-second fields of a nanoseconds value, by 32-bit signed division.
struct Fraction {
    std::int32_t milliseconds;
    std::int32_t microseconds;
};
constexpr Fraction split_nanoseconds(std::int32_t ns) {
    return {ns / static_cast<std::int32_t>(kNanosPerMilli),
            (ns / static_cast<std::int32_t>(kNanosPerMicro)) % 1000};
}

// Mode 1 written: the seconds to break down, the offset added with 32-bit wrap.
constexpr std::int32_t add_seconds(std::int32_t seconds, std::int32_t offset) {
    return static_cast<std::int32_t>(u32(seconds) + u32(offset));
}

// Mode 1 written: the UTC calendar breakdown of a second count since 1 January 1970, leap
// years as the Gregorian calendar has them, giving what gmtime_r gives (yday counts 1 January
// as day 0) without the C library's time-zone lock. Days are split off first, then the day
// count is turned into a year by whole 400-year eras, which handles counts before 1970 too.
struct Calendar {
    std::int32_t year;  // full year number
    std::int32_t yday;
    std::int32_t hour;
    std::int32_t minute;
    std::int32_t second;
};

// Days from 1970-01-01 to 1 January of `year` (proleptic Gregorian).
constexpr std::int64_t days_to_new_year(std::int64_t year) {
    const std::int64_t y = year - 1;  // years counted from 1 March of the year before
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;                          // 0..399
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + 306;  // 306: 1 March -> 1 January
    return era * 146097 + doe - 719468;
}

constexpr Calendar utc_calendar(std::int64_t t) {
    std::int64_t days = t / 86400;
    std::int64_t rem = t % 86400;
    if (rem < 0) {
        rem += 86400;
        --days;
    }
    // Year of the day, counting years from 1 March so that the leap day ends a year.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;                                       // 0..146096
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0..399
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // from 1 March
    const std::int64_t year = yoe + era * 400 + (doy >= 306 ? 1 : 0);  // Jan, Feb: next
    return {static_cast<std::int32_t>(year),
            static_cast<std::int32_t>(days - days_to_new_year(year)),
            static_cast<std::int32_t>(rem / 3600), static_cast<std::int32_t>(rem / 60 % 60),
            static_cast<std::int32_t>(rem % 60)};
}

// ---------------------------------------------------------------------------------------
// The board time as an instant on the true calendar (korvic::Board). One formula for every
// time register that holds a year: the current time's mode 1 formula, DAY_OFF days and
// TZ_OFF hours added and SEC_OFF seconds taken off, with the years counted as the calendar
// has them (leap days included), in 64-bit microseconds since 1970.
// ---------------------------------------------------------------------------------------

// The instants a preset or compare time may name, as UTC and as board time alike:
// [1970-01-01T00:00:00Z, 2100-01-01T00:00:00Z).
inline constexpr std::int64_t kBoardFirstYear = 1970;
inline constexpr std::int64_t kBoardEndYear = 2100;
inline constexpr std::int64_t kBoardEndUs =
    days_to_new_year(kBoardEndYear) * static_cast<std::int64_t>(kMicrosPerDay);

constexpr bool in_board_range(std::int64_t us) {
    return us >= 0 && us < kBoardEndUs;
}

// Days from 0000-01-01 to 1970-01-01 (proleptic Gregorian).
inline constexpr std::int64_t kDaysFromYear0To1970 = 719'528;
static_assert(days_to_new_year(0) == -kDaysFromYear0To1970);

// The instant of a board time's digits. Fields beyond their range carry as their values
// say (day 365 of a common year is 1 January of the next). An instant past the 64-bit count
// (only with a DAY_OFF of some hundred million days) stands at its end.
// Days from 1970-01-01 to 1 January of a year of the board's digits (0 to 9999, or more
// from digits above 9): the leap years before it are counted directly.
constexpr std::int64_t days_to_digit_year(std::int32_t years) {
    const auto y = static_cast<std::uint32_t>(years);
    return std::int64_t{365} * y + (y + 3) / 4 - (y + 99) / 100 + (y + 399) / 400 -
           kDaysFromYear0To1970;
}

static_assert(days_to_digit_year(0) == days_to_new_year(0) && days_to_digit_year(1970) == 0 &&
              days_to_digit_year(2100) == days_to_new_year(2100) &&
              days_to_digit_year(9999) == days_to_new_year(9999));

constexpr std::int64_t to_utc_us(const korvic_broken_down &t, const Offsets &o) {
    const std::int64_t days = days_to_digit_year(t.years) + std::int64_t{t.days} + o.days;
    const std::int64_t seconds =
        days * kSecondsPerDay + (std::int64_t{t.hours} + o.hours) * kSecondsPerHour +
        std::int64_t{t.minutes} * kSecondsPerMinute + t.seconds - o.seconds;
    constexpr auto kMicros = static_cast<std::int64_t>(kMicrosPerSecond);
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / kMicros - 1;
    if (seconds > kLimit)
        return std::numeric_limits<std::int64_t>::max();
    if (seconds < -kLimit)
        return std::numeric_limits<std::int64_t>::min();
    return seconds * kMicros + std::int64_t{t.milliseconds} * 1000 + t.microseconds;
}

// The seconds digits of an inserted leap second (23:59:60).
inline constexpr std::int32_t kLeapSecondDigits = 60;

// What a UTC instant is moved by to become board time: SEC_OFF seconds added, TZ_OFF hours
// and DAY_OFF days taken off. In seconds; at most some 2^47 in size.
constexpr std::int64_t board_shift_seconds(const Offsets &o) {
    return std::int64_t{o.seconds} - std::int64_t{o.hours} * kSecondsPerHour -
           std::int64_t{o.days} * kSecondsPerDay;
}

// The digits of a board time in the board's range: full year, day of year from 0, time of
// day to the microsecond. The inverse of to_utc_us with no offsets.
constexpr korvic_broken_down board_fields(std::int64_t board_us) {
    constexpr auto kMicros = static_cast<std::int64_t>(kMicrosPerSecond);
    const Calendar c = utc_calendar(board_us / kMicros);
    const auto fraction = static_cast<std::int32_t>(board_us % kMicros);
    return {fraction % 1000, fraction / 1000, c.second, c.minute, c.hour, c.yday, c.year};
}

}  // namespace korvic::codec
