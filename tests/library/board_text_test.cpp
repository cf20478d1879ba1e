// Times, durations and compare masks as text: format_time and parse_time vectors (each
// parsed text formats back to the canonical form), the refusals with what they say, the
// duration forms, and the compare words.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "korvic/board.hpp"

namespace {

using korvic::utc_time;
using std::chrono::microseconds;
using std::chrono::nanoseconds;

utc_time at(std::int64_t us) {
    return utc_time{microseconds{us}};
}

struct TimeCase {
    std::int64_t us;
    const char *canonical;  // format_time's text
    const char *other;      // another text parse_time takes for it ("" for none)
};

const TimeCase kTimes[] = {
    {0, "1970-01-01T00:00:00.000000Z", "@0"},
    {-1, "1969-12-31T23:59:59.999999Z", "@-0.000001"},
    {1'774'701'296'789'123, "2026-03-28T12:34:56.789123Z", "2026-087T12:34:56.789123"},
    {1'709'251'199'999'999, "2024-02-29T23:59:59.999999Z", "2024-060 23:59:59.999999Z"},
    {4'107'542'400'000'000, "2100-03-01T00:00:00.000000Z", "2100-060T00:00:00Z"},
    {1'735'689'599'500'000, "2024-12-31T23:59:59.500000Z", "2024-366T23:59:59.5Z"},
    {951'825'600'500'000, "2000-02-29T12:00:00.500000Z", "@951825600.5"},
    {253'402'300'800'000'000, "10000-01-01T00:00:00.000000Z", ""},
    {-62'198'755'200'000'000, "-0001-01-01T00:00:00.000000Z", ""},
    {INT64_MAX, "294247-01-10T04:00:54.775807Z", ""},
    {INT64_MIN, "-290308-12-21T19:59:05.224192Z", ""},
};

TEST(TimeText, FormatAndParseVectors) {
    for (const TimeCase &c : kTimes) {
        SCOPED_TRACE(c.canonical);
        EXPECT_EQ(korvic::format_time(at(c.us)), c.canonical);
        if (c.canonical[0] == '-' || std::string(c.canonical).find('-') > 4)
            continue;  // years beyond four digits are written, not read
        EXPECT_EQ(korvic::parse_time(c.canonical), at(c.us));
        if (*c.other != '\0') {
            EXPECT_EQ(korvic::parse_time(c.other), at(c.us)) << c.other;
        }
    }
}

TEST(TimeText, UnixSecondsAlwaysWithSixDigits) {
    const std::pair<std::int64_t, const char *> cases[] = {
        {0, "0.000000"},
        {1'500'000, "1.500000"},
        {-1, "-0.000001"},
        {-1'500'000, "-1.500000"},
        {1'774'701'296'789'123, "1774701296.789123"},
        {1'774'701'296'000'010, "1774701296.000010"},
        {INT64_MAX, "9223372036854.775807"},
        {INT64_MIN, "-9223372036854.775808"},
    };
    for (const auto &[us, text] : cases) {
        EXPECT_EQ(korvic::format_unix_time(at(us)), text);
        if (us > INT64_MIN) {  // the earliest count's magnitude does not fit parse_time's
            EXPECT_EQ(korvic::parse_time(std::string("@") + text), at(us)) << text;
        }
    }
}

struct Refusal {
    const char *text;
    const char *says;  // part of the message
};

// Calls parse, which must throw std::invalid_argument holding the text in quotes and what
// is wrong with it.
template <typename Parse>
void expect_refused(Parse parse, const Refusal &r) {
    try {
        parse();
        ADD_FAILURE() << "taken: \"" << r.text << "\"";
    } catch (const std::invalid_argument &e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(std::string("\"") + r.text + "\""), std::string::npos) << what;
        EXPECT_NE(what.find(r.says), std::string::npos) << what;
    }
}

const Refusal kBadTimes[] = {
    {"2026-03-28", "not a time"},
    {"2026-3-28T12:00:00Z", "not a time"},
    {"2026-03-28T12:00:00.Z", "not a time"},
    {"@12x", "not a time"},
    {"2023-02-29T00:00:00Z", "February 2023 has no day 29"},
    {"2026-13-01T00:00:00Z", "no month 13"},
    {"2024-000T00:00:00Z", "2024 has days 001 to 366"},
    {"2016-12-31T23:59:60Z", "no such time of day"},
    {"2026-03-28T24:00:00Z", "no such time of day"},
    {"@1.1234567", "more than 6 digits of fraction"},
    {"2026-03-28T12:00:00+01:00", "a zone offset is not taken"},
    {"@99999999999999", "beyond the 64-bit microsecond count"},
};

TEST(TimeText, ParseRefusesAndSaysWhy) {
    for (const Refusal &r : kBadTimes)
        expect_refused([&] { korvic::parse_time(r.text); }, r);
}

struct DurationCase {
    const char *text;
    bool sign;
    std::int64_t ns;
};

const DurationCase kDurations[] = {
    {"250ms", false, 250'000'000},    {"1.5s", false, 1'500'000'000},
    {"10us", false, 10'000},          {"100ns", false, 100},
    {"2min", false, 120'000'000'000}, {"0", false, 0},
    {"007.2500ms", false, 7'250'000}, {"1.000000001s", false, 1'000'000'001},
    {"0.00000000001h", false, 36},    {"9223372036854775807ns", false, 9'223'372'036'854'775'807},
    {"+3s", true, 3'000'000'000},     {"-1.5h", true, -5'400'000'000'000},
};

TEST(DurationText, Vectors) {
    for (const DurationCase &c : kDurations)
        EXPECT_EQ(korvic::parse_duration(c.text, c.sign), nanoseconds{c.ns}) << c.text;
}

const Refusal kBadDurations[] = {
    {"ms", "not a duration"},
    {".5s", "not a duration"},
    {"-1s", "not a duration"},
    {"5", "no unit"},
    {"5 ms", "unknown unit \" ms\""},
    {"0.5ns", "finer than a nanosecond"},
    {"0.000000000001h", "finer than a nanosecond"},
    {"0.00000000000001h", "finer than a nanosecond"},
};

TEST(DurationText, RefusesAndSaysWhy) {
    for (const Refusal &r : kBadDurations)
        expect_refused([&] { korvic::parse_duration(r.text); }, r);
    for (const char *text : {"9223372036854775808ns", "2562048h", "99999999999999999999s"})
        EXPECT_THROW(korvic::parse_duration(text, true), std::out_of_range) << text;
}

TEST(CompareWords, EveryWordNamesItsMaskAndBack) {
    using korvic::CompareMask;
    const std::pair<const char *, CompareMask> words[] = {
        {"year", CompareMask::yearly},
        {"day", CompareMask::daily},
        {"hour", CompareMask::hourly},
        {"minute", CompareMask::every_minute},
        {"second", CompareMask::every_second},
        {"millisecond", CompareMask::every_millisecond},
        {"off", CompareMask::off},
    };
    for (const auto &[word, mask] : words) {
        EXPECT_EQ(korvic::parse_compare_every(word), mask) << word;
        EXPECT_EQ(korvic::to_string(mask), word);
    }
    for (const char *word : {"", "years", "Day", "ms", "15"})
        EXPECT_EQ(korvic::parse_compare_every(word), std::nullopt) << word;
    EXPECT_EQ(korvic::to_string(static_cast<CompareMask>(7)), "reserved");
}

}  // namespace
