// The BCD time codec with no register window: decoding of each register group, the mode 1
// and mode 2 conversions with their offsets, the preset and compare images, and round
// trips through them.
#include "timecodec.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <vector>

namespace korvic::codec {
namespace {

// Some conversions checked by the compiler: the codec works at compile time.
static_assert(enc(0) == 0x00 && enc(59) == 0x59 && enc(99) == 0x99);
static_assert(bcd(0x1F) == 25 && bcd(0x59) == 59);
static_assert(compare_mask({0x23917856, 0x341200A1, 0}) == 0xA);
static_assert(to_timespec({0, 0, 0, 0, 0, 0, 1973}, {}).seconds == 94'608'000);
static_assert(decode<kPresetTime>(encode<kPresetTime>({456, 123, 45, 37, 21, 234, 2023})).days ==
              234);

Words bytes(std::initializer_list<std::uint8_t> l) {
    Bytes b{};
    std::size_t i = 0;
    for (std::uint8_t x : l)
        b[i++] = x;
    return words_of(b);
}

bool same(const korvic_broken_down &a, const korvic_broken_down &b) {
    return a.microseconds == b.microseconds && a.milliseconds == b.milliseconds &&
           a.seconds == b.seconds && a.minutes == b.minutes && a.hours == b.hours &&
           a.days == b.days && a.years == b.years;
}

}  // namespace
}  // namespace korvic::codec

// Printed by gtest when a comparison fails.
void PrintTo(const korvic_broken_down &t, std::ostream *os) {
    *os << t.years << "-" << t.days << " " << t.hours << ":" << t.minutes << ":" << t.seconds << "."
        << t.milliseconds << "." << t.microseconds;
}

namespace korvic::codec {
namespace {

TEST(BcdBytes, NamingFollowsTheWordBits) {
    const Words w{0x01020304, 0x05060708, 0x090A0B0C};
    for (std::size_t i = 0; i < 12; ++i)
        EXPECT_EQ(byte_at(w, i), i + 1) << "L[" << i << "]";
    EXPECT_EQ(words_of(bytes_of(w)), w);
}

TEST(BcdBytes, EncodeEveryTwoDigitValue) {
    for (std::uint32_t v = 0; v < 100; ++v) {
        EXPECT_EQ(hi(enc(v)), v / 10);
        EXPECT_EQ(lo(enc(v)), v % 10);
        EXPECT_EQ(bcd(enc(v)), v);
    }
    EXPECT_EQ(enc(150), 0xF0);  // (15 x 16 + 0), low 8 bits
    EXPECT_EQ(enc(0xFFFFFFFFu), 0x95);
}

struct DecodeCase {
    const char *what;
    korvic_broken_down (*decode)(const Words &);
    Words words;
    korvic_broken_down fields;
    std::int32_t mask;  // time compare only
};

const DecodeCase kDecodes[] = {
    {"time-and-status",
     decode<kTimeStatus>,
     bytes({0x23, 0x91, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x00, 0x01, 0x26, 0x20}),
     {123, 789, 56, 34, 12, 100, 2026},
     0},
    {"time-and-status ignores status bytes and nibble",
     decode<kTimeStatus>,
     bytes({0x23, 0x91, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12, 0x00, 0xF1, 0x26, 0x20}),
     {123, 789, 56, 34, 12, 100, 2026},
     0},
    {"external event",
     decode<kExternalEvent>,
     bytes({0x23, 0x91, 0x78, 0x56, 0x34, 0x12, 0x00, 0x01, 0x26, 0x20, 0x00, 0x00}),
     {123, 789, 56, 34, 12, 100, 2026},
     0},
    {"external event ignores mask nibble and L10, L11",
     decode<kExternalEvent>,
     bytes({0x23, 0x91, 0x78, 0x56, 0x34, 0x12, 0x00, 0xF1, 0x26, 0x20, 0xFF, 0xFF}),
     {123, 789, 56, 34, 12, 100, 2026},
     0},
    {"preset has no microseconds",
     decode<kPresetTime>,
     bytes({0x23, 0x91, 0x78, 0x56, 0x34, 0x12, 0x00, 0x01, 0x26, 0x20, 0x00, 0x00}),
     {0, 789, 56, 34, 12, 100, 2026},
     0},
    {"preset ignores L0 and lo(L1)",
     decode<kPresetTime>,
     bytes({0xFF, 0x9F, 0x78, 0x56, 0x34, 0x12, 0x00, 0x01, 0x26, 0x20, 0x00, 0x00}),
     {0, 789, 56, 34, 12, 100, 2026},
     0},
    {"compare has no year",
     decode<kTimeCompare>,
     bytes({0x23, 0x91, 0x78, 0x56, 0x34, 0x12, 0x00, 0x51}),
     {123, 789, 56, 34, 12, 100, 0},
     5},
    {"compare mask beside days hundreds",
     decode<kTimeCompare>,
     bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x52}),
     {0, 0, 0, 0, 0, 200, 0},
     5},
    {"compare ignores a third word",
     decode<kTimeCompare>,
     {0, 0x09, 0x99999999},
     {0, 0, 0, 0, 0, 900, 0},
     0},
    {"invalid digit 0x1F is 25",
     decode<kExternalEvent>,
     bytes({0x1F, 0x01, 0x00, 0x1F, 0x1F, 0x1F, 0x1F, 0x00, 0x1F, 0x1F}),
     {125, 0, 25, 25, 25, 25, 2525},
     0},
    {"all nibbles 15",
     decode<kTimeStatus>,
     bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
     {1665, 1665, 165, 165, 165, 1665, 16665},
     0},
    {"all nibbles 15, event layout",
     decode<kExternalEvent>,
     bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
     {1665, 1665, 165, 165, 165, 1665, 16665},
     0},
};

TEST(Decode, Vectors) {
    for (const DecodeCase &c : kDecodes) {
        SCOPED_TRACE(c.what);
        const korvic_broken_down got = c.decode(c.words);
        EXPECT_TRUE(same(got, c.fields)) << ::testing::PrintToString(got);
        if (c.decode == decode<kTimeCompare>) {
            EXPECT_EQ(compare_mask(c.words), c.mask);
        }
    }
}

struct ConvertCase {
    const char *what;
    korvic_broken_down fields;
    Offsets offsets;
    std::int32_t seconds;
    std::int32_t nanoseconds;
    std::uint64_t micros;
};

constexpr korvic_broken_down kExample{123, 789, 56, 34, 12, 100, 2026};

// clang-format off
const ConvertCase kConversions[] = {
    {"example, no offsets",   kExample, {},                   1'774'701'296, 789'123'000, 1'774'701'296'789'123},
    {"hours offset 1",        kExample, {1, 0, 0, true},      1'774'704'896, 789'123'000, 1'774'704'896'789'123},
    {"hours offset -5",       kExample, {-5, 0, 0, true},     1'774'683'296, 789'123'000, 1'774'683'296'789'123},
    {"days offset -1",        kExample, {0, -1, 0, true},     1'774'614'896, 789'123'000, 1'774'614'896'789'123},
    {"seconds offset 3600 is mode 1 only", kExample, {0, 0, 3600, true}, 1'774'697'696, 789'123'000, 1'774'701'296'789'123},
    {"seconds offset negative", kExample, {0, 0, -3600, true}, 1'774'704'896, 789'123'000, 1'774'701'296'789'123},
    {"1973 counts no leap day", {0, 0, 0, 0, 0, 0, 1973}, {}, 94'608'000, 0, 94'608'000'000'000},
    {"epoch",                 {0, 0, 0, 0, 0, 0, 1970}, {},   0, 0, 0},
    {"largest fraction",      {999, 999, 0, 0, 0, 0, 1970}, {}, 0, 999'999'000, 999'999},
    {"1969 is negative",      {0, 0, 0, 0, 0, 0, 1969}, {},   -31'536'000, 0, 18'446'712'537'709'551'616u},
    {"day offset before epoch", {0, 0, 0, 0, 0, 0, 1970}, {0, -1, 0, true}, -86'400, 0, 0 - 86'400'000'000ull},
    {"2100 wraps 32 bits",    {0, 0, 0, 0, 0, 0, 2100}, {},   -195'287'296, 0, 4'099'680'000'000'000},
    {"compare: no year term", {0, 0, 0, 0, 0, 100, 0}, {0, 0, 0, false}, 8'640'000, 0, 8'640'000'000'000},
    {"compare: time offset",  {0, 0, 0, 0, 0, 100, 0}, {0, 0, 60, false}, 8'639'940, 0, 8'640'000'000'000},
    {"compare: hours offset", {0, 0, 0, 0, 23, 0, 0}, {2, 0, 0, false}, 90'000, 0, 90'000'000'000},
    {"out of range fields pass", {0, 0, 0, 75, 0, 999, 1970}, {}, 86'318'100, 0, 86'318'100'000'000},
    {"days hold 365 plus",    {0, 0, 0, 0, 0, 365, 1970}, {},   31'536'000, 0, 31'536'000'000'000},
    {"hours sum widened signed", {0, 0, 0, 0, 0, 0, 1970}, {-1, 0, 0, true}, -3'600, 0, 0 - 3'600'000'000ull},
};
// clang-format on

TEST(Convert, Mode1AndMode2) {
    for (const ConvertCase &c : kConversions) {
        SCOPED_TRACE(c.what);
        const korvic_timespec ts = to_timespec(c.fields, c.offsets);
        EXPECT_EQ(ts.seconds, c.seconds);
        EXPECT_EQ(ts.nanoseconds, c.nanoseconds);
        EXPECT_EQ(to_microseconds(c.fields, c.offsets), c.micros);
    }
}

// With no offsets, the count is the seconds times a million plus the fraction for every
// time whose seconds stay below 2^31.
TEST(Convert, Mode2AgreesWithMode1UpTo2037) {
    for (std::int32_t year = 1970; year <= 2037; ++year) {
        for (std::int32_t day = 0; day < 365; day += 17) {
            const korvic_broken_down t{year % 1000, day % 1000, day % 60, year % 60,
                                       day % 24,    day,        year};
            const korvic_timespec ts = to_timespec(t, {});
            ASSERT_GE(ts.seconds, 0);
            ASSERT_EQ(to_microseconds(t, {}),
                      std::uint64_t(ts.seconds) * 1'000'000 + std::uint64_t(ts.nanoseconds) / 1000)
                << year << " day " << day;
        }
    }
}

struct ImageCase {
    const char *what;
    bool compare;  // encode_compare, else the preset image
    korvic_broken_down fields;
    std::int32_t mask;
    Words image;
};

constexpr korvic_broken_down kFields2023{456, 123, 45, 37, 21, 234, 2023};

// clang-format off
const ImageCase kImages[] = {
    {"preset", false, kFields2023, 0,
     bytes({0x00, 0x30, 0x12, 0x45, 0x37, 0x21, 0x34, 0x02, 0x23, 0x20, 0x00, 0x00})},
    {"preset takes no microseconds", false, {999, 123, 45, 37, 21, 234, 2023}, 0,
     bytes({0x00, 0x30, 0x12, 0x45, 0x37, 0x21, 0x34, 0x02, 0x23, 0x20, 0x00, 0x00})},
    {"preset zero year", false, {0, 0, 0, 0, 0, 0, 0}, 0, {0, 0, 0}},
    {"compare mask 0", true, kFields2023, 0,
     bytes({0x56, 0x34, 0x12, 0x45, 0x37, 0x21, 0x34, 0x02})},
    {"compare mask 5", true, kFields2023, 5,
     bytes({0x56, 0x34, 0x12, 0x45, 0x37, 0x21, 0x34, 0x52})},
    {"compare mask 0xA", true, kFields2023, 0xA,
     bytes({0x56, 0x34, 0x12, 0x45, 0x37, 0x21, 0x34, 0xA2})},
    {"compare mask 0x1F keeps four bits", true, kFields2023, 0x1F,
     bytes({0x56, 0x34, 0x12, 0x45, 0x37, 0x21, 0x34, 0xF2})},
    {"compare mask -1 keeps four bits", true, {0, 0, 0, 0, 0, 0, 0}, -1,
     bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0})},
    {"compare takes no year", true, {0, 0, 0, 0, 0, 0, 2023}, 0, {0, 0, 0}},
    {"out of range: minutes 75, seconds 150", false, {0, 0, 150, 75, 0, 0, 0}, 0,
     bytes({0x00, 0x00, 0x00, 0xF0, 0x75})},
    {"out of range: days 1234", false, {0, 0, 0, 0, 0, 1234, 0}, 0,
     bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x34, 0x12})},
    {"out of range: microseconds 1600 carry into hi(L1)", true, {1600, 0, 0, 0, 0, 0, 0}, 0,
     bytes({0x00, 0x10})},
    {"negative field divides as unsigned", false, {0, 0, -1, 0, 0, 0, 0}, 0,
     bytes({0x00, 0x00, 0x00, 0x95})},
};
// clang-format on

TEST(Encode, PresetAndCompareImages) {
    for (const ImageCase &c : kImages) {
        SCOPED_TRACE(c.what);
        const Words got =
            c.compare ? encode_compare(c.fields, c.mask) : encode<kPresetTime>(c.fields);
        EXPECT_EQ(got, c.image) << std::hex << got[0] << " " << got[1] << " " << got[2];
    }
}

struct SplitCase {
    const char *what;
    std::uint64_t count;
    bool with_year;
    korvic_broken_down fields;
};

// clang-format off
const SplitCase kSplits[] = {
    {"53 years, day 233", 1'691'617'065'123'456, true,  {456, 123, 45, 37, 21, 233, 2023}},
    {"compare drops the years", 1'691'617'065'123'456, false, {456, 123, 45, 37, 21, 233, 0}},
    {"zero",              0,                     true,  {0, 0, 0, 0, 0, 0, 1970}},
    {"11 milliseconds",   11'000,                true,  {0, 11, 0, 0, 0, 0, 1970}},
    {"last microsecond of a 365-day year", 31'535'999'999'999, true, {999, 999, 59, 59, 23, 364, 1970}},
    {"largest count",     18'446'744'073'709'551'615u, true, {615, 551, 49, 1, 8, 152, 586'912}},
};
// clang-format on

TEST(Encode, SplitMicroseconds) {
    for (const SplitCase &c : kSplits) {
        SCOPED_TRACE(c.what);
        std::uint64_t remaining = 1, quotient = 1;
        const korvic_broken_down got =
            split_microseconds(c.count, c.with_year, remaining, quotient);
        EXPECT_TRUE(same(got, c.fields)) << ::testing::PrintToString(got);
        EXPECT_EQ(remaining, c.count % 1'000'000);
        EXPECT_EQ(quotient, std::uint64_t(c.fields.milliseconds));
    }
    std::uint64_t r = 0, q = 0;
    EXPECT_EQ(encode<kPresetTime>(split_microseconds(0, true, r, q)),
              bytes({0, 0, 0, 0, 0, 0, 0, 0, 0x70, 0x19, 0, 0}));
    EXPECT_EQ(encode<kPresetTime>(split_microseconds(11'000, true, r, q)),
              bytes({0x00, 0x10, 0x01, 0, 0, 0, 0, 0, 0x70, 0x19, 0, 0}));
    EXPECT_EQ(encode_compare(split_microseconds(1'691'617'065'123'456, false, r, q), 5),
              bytes({0x56, 0x34, 0x12, 0x45, 0x37, 0x21, 0x33, 0x52}));
}

TEST(Encode, SplitNanoseconds) {
    struct {
        std::int32_t ns, ms, us;
    } const kCases[] = {
        {123'456'789, 123, 456},  {999'999'999, 999, 999}, {0, 0, 0},
        {1'500'000'000, 1500, 0}, {-1'000, 0, -1},         {INT32_MIN, -2147, -483},
    };
    for (const auto &c : kCases) {
        const Fraction f = split_nanoseconds(c.ns);
        EXPECT_EQ(f.milliseconds, c.ms) << c.ns;
        EXPECT_EQ(f.microseconds, c.us) << c.ns;
    }
    EXPECT_EQ(add_seconds(INT32_MAX, 1), INT32_MIN);
    EXPECT_EQ(add_seconds(1'692'740'265, 3'600), 1'692'743'865);
}

// The count written in mode 2 and read back gives the same count, whatever it is.
TEST(RoundTrip, MicrosecondCountThroughFields) {
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < 100'000; ++i) {
        x = x * 6364136223846793005u + 1442695040888963407u;
        std::uint64_t r = 0, q = 0;
        ASSERT_EQ(to_microseconds(split_microseconds(x, true, r, q), {}), x);
        ASSERT_EQ(to_microseconds(split_microseconds(x, false, r, q), {0, 0, 0, false}),
                  x % kMicrosPerYear);
    }
}

// Every in-range field value, in every group that holds it, is written and decoded back;
// the other fields vary with it so that neighbouring digits are exercised together.
template <const Group &G>
void round_trip_every_field_value() {
    struct Range {
        Field field;
        std::int32_t limit;
    };
    constexpr Range kRanges[] = {
        {Field::Micro, 1000}, {Field::Milli, 1000}, {Field::Second, 60},  {Field::Minute, 60},
        {Field::Hour, 24},    {Field::Day, 1000},   {Field::Year, 10000},
    };
    for (const Range &swept : kRanges) {
        for (std::int32_t v = 0; v < swept.limit; ++v) {
            korvic_broken_down t{};
            for (const Range &r : kRanges)
                at(t, r.field) = (v * 7919 + static_cast<std::int32_t>(r.field) * 31) % r.limit;
            at(t, swept.field) = v;
            korvic_broken_down want = t;
            for (const Range &r : kRanges) {
                if (!(G.fields & field_bit(r.field)))
                    at(want, r.field) = 0;
            }
            const korvic_broken_down got = decode<G>(encode<G>(t));
            ASSERT_TRUE(same(got, want))
                << ::testing::PrintToString(t) << " -> " << ::testing::PrintToString(got);
        }
    }
}

TEST(RoundTrip, EveryFieldValueThroughEachGroup) {
    round_trip_every_field_value<kTimeStatus>();
    round_trip_every_field_value<kExternalEvent>();
    round_trip_every_field_value<kPresetTime>();
    round_trip_every_field_value<kTimeCompare>();
}

// A grid of boundary values of all fields at once through the preset and compare images.
TEST(RoundTrip, BoundaryGridThroughPresetAndCompare) {
    const std::int32_t us[] = {0, 1, 9, 10, 99, 100, 999};
    const std::int32_t ms[] = {0, 1, 9, 10, 99, 100, 999};
    const std::int32_t sm[] = {0, 9, 10, 59};
    const std::int32_t hh[] = {0, 9, 10, 23};
    const std::int32_t dd[] = {0, 9, 10, 99, 100, 364, 365, 999};
    const std::int32_t yy[] = {0, 1969, 1970, 1999, 2000, 2026, 9999};
    int checked = 0;
    for (auto a : us)
        for (auto b : ms)
            for (auto s : sm)
                for (auto m : sm)
                    for (auto h : hh)
                        for (auto d : dd)
                            for (auto y : yy) {
                                const korvic_broken_down t{a, b, s, m, h, d, y};
                                const korvic_broken_down p =
                                    decode<kPresetTime>(encode<kPresetTime>(t));
                                ASSERT_TRUE(same(p, {0, b, s, m, h, d, y}));
                                const Words w = encode_compare(t, d % 16);
                                ASSERT_TRUE(same(decode<kTimeCompare>(w), {a, b, s, m, h, d, 0}));
                                ASSERT_EQ(compare_mask(w), d % 16);
                                ++checked;
                            }
    EXPECT_EQ(checked, 7 * 7 * 4 * 4 * 4 * 8 * 7);
}

}  // namespace
}  // namespace korvic::codec

// The mode 1 writers' calendar against the C library's, over the whole 32-bit second range:
// every day boundary near the epoch, leap days, century years, both ends of the range.
TEST(UtcCalendar, AgreesWithGmtime) {
    std::vector<std::int64_t> seconds = {0,         -1,         86399,     86400,     951782400,
                                         951868800, 1692740265, INT32_MIN, INT32_MAX, -86401};
    for (std::int64_t t = INT32_MIN; t <= INT32_MAX; t += 86400 * 7 + 3607)
        seconds.push_back(t);
    for (std::int64_t t = -3 * 86400 * 366; t < 3 * 86400 * 366; t += 86399)
        seconds.push_back(t);
    for (const std::int64_t t : seconds) {
        if (t < INT32_MIN || t > INT32_MAX)
            continue;
        const auto as_time = static_cast<std::time_t>(t);
        std::tm tm{};
        ASSERT_NE(gmtime_r(&as_time, &tm), nullptr);
        const korvic::codec::Calendar c = korvic::codec::utc_calendar(t);
        ASSERT_EQ(c.year, tm.tm_year + 1900) << t;
        ASSERT_EQ(c.yday, tm.tm_yday) << t;
        ASSERT_EQ(c.hour, tm.tm_hour) << t;
        ASSERT_EQ(c.minute, tm.tm_min) << t;
        ASSERT_EQ(c.second, tm.tm_sec) << t;
    }
}
