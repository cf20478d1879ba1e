// korvicd's leap second table: the system's leap-seconds.list and tables made here read with
// their hash checked, every broken form refused with the line at fault, what the table says
// about instants around a leap second, and the file read without blocking, refused when
// expired.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "leap.h"
#include "leap_file.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using korvicd::LeapInfo;
using korvicd::LeapKind;
using korvicd_test::leap_seconds_list;
using ::testing::HasSubstr;

constexpr std::int64_t kDay = 86'400;
// 2030-07-01 and 2031-01-01, 00:00:00 UTC.
constexpr std::int64_t kJuly2030 = 1'909'094'400;
constexpr std::int64_t kJanuary2031 = 1'924'992'000;
constexpr std::int64_t kUpdated = 1'893'456'000;  // 2030-01-01
constexpr std::int64_t kExpires = 1'940'630'400;  // 2031-07-01

korvic::system_time at(std::int64_t seconds, std::chrono::nanoseconds plus = 0ns) {
    return korvic::system_time{std::chrono::seconds{seconds}} + plus;
}

// 1972 (TAI-UTC 10), then a second inserted before 1 July 2030 and one deleted before
// 1 January 2031.
std::string test_table() {
    return leap_seconds_list({{63'072'000, 10}, {kJuly2030, 11}, {kJanuary2031, 10}}, kUpdated,
                             kExpires);
}

// `text` with its first `what` replaced by `with`.
std::string edit(std::string text, const std::string &what, const std::string &with) {
    const std::size_t at = text.find(what);
    if (at != std::string::npos)
        text.replace(at, what.size(), with);
    return text;
}

// A time as the table writes it: seconds since 1900.
std::string ntp(std::int64_t unix_seconds) {
    return std::to_string(unix_seconds + korvicd_test::kNtpEpochToUnix);
}

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The table tzdata installs, whose hash IERS made: read whole, with every leap second
// since 1972 inserted, one second of TAI-UTC each.
TEST(LeapTable, TheSystemsTableReadsWithItsHash) {
    ASSERT_EQ(access(korvicd::kSystemLeapFile, R_OK), 0)
        << korvicd::kSystemLeapFile << " not found: these tests need tzdata";
    const std::string text = slurp(korvicd::kSystemLeapFile);
    const korvicd::LeapParse p = korvicd::parse_leap_table(text);
    ASSERT_TRUE(p.table) << p.problem;
    const korvicd::LeapTable &t = *p.table;
    EXPECT_EQ(t.start, 63'072'000);  // 1972-01-01
    EXPECT_EQ(t.start_tai_utc, 10);
    ASSERT_GE(t.leaps.size(), 27u);
    EXPECT_EQ(t.leaps[0], (korvicd::LeapSecond{78'796'800, 11, LeapKind::insert}));  // 1972-07-01
    EXPECT_EQ(t.leaps[26], (korvicd::LeapSecond{1'483'228'800, 37, LeapKind::insert}));
    EXPECT_EQ(t.leaps.back().tai_utc, t.start_tai_utc + static_cast<int>(t.leaps.size()));
    EXPECT_GT(t.expires, t.updated);
    // One number of it changed, and the hash no longer matches.
    // 2017-01-01's line moved to the next midnight: still in order, but not what was hashed.
    ASSERT_NE(text.find("3692217600"), std::string::npos);
    EXPECT_THAT(korvicd::parse_leap_table(edit(text, "3692217600", "3692304000")).problem,
                HasSubstr("is not that of its data"));
}

TEST(LeapTable, AMadeTableReadsEachWay) {
    const korvicd::LeapParse p = korvicd::parse_leap_table(test_table());
    ASSERT_TRUE(p.table) << p.problem;
    EXPECT_EQ(p.table->updated, kUpdated);
    EXPECT_EQ(p.table->expires, kExpires);
    EXPECT_THAT(p.table->leaps,
                ::testing::ElementsAre(korvicd::LeapSecond{kJuly2030, 11, LeapKind::insert},
                                       korvicd::LeapSecond{kJanuary2031, 10, LeapKind::remove}));
    // The hash over the digits alone: blanks and comments do not enter it.
    std::string spaced = test_table();
    spaced.insert(spaced.find(ntp(kJuly2030)) + 10, "   \t");
    EXPECT_TRUE(korvicd::parse_leap_table(spaced).table);
}

struct Broken {
    const char *name;
    std::string text;
    const char *problem;
};

TEST(LeapTable, BrokenTablesAreRefusedWithTheReason) {
    const std::string good = test_table();
    const std::string made_hash = good.substr(good.find("#h"));
    const auto remade = [](std::vector<korvicd_test::LeapLine> lines) {
        return leap_seconds_list(lines, kUpdated, kExpires);
    };
    const Broken cases[] = {
        {"Empty", "", "no leap second lines"},
        {"NoHash", edit(good, "#h", "# "), "no #h line (hash)"},
        {"NoExpiry", edit(good, "#@", "# "), "no #@ line (expiry)"},
        {"NoUpdate", edit(good, "#$", "# "), "no #$ line (last update)"},
        {"TwoExpiries", "#@\t3000000000\n" + good, "line 8: #@ (expiry) a second time"},
        {"ExpiryNotANumber", edit(good, "#@\t", "#@\t-"), "line 7: #@ (expiry) is not an NTP time"},
        {"HashOfFourWords", good.substr(0, good.find("#h")) + "#h 1 2 3 4\n",
         "#h (hash) is not five hexadecimal words"},
        {"HashNotHex", good.substr(0, good.find("#h")) + "#h 1 2 3 4 5g\n",
         "#h (hash) is not five hexadecimal words"},
        {"ADigitChanged", edit(good, ntp(kJuly2030), ntp(kJuly2030 + kDay)),
         "is not that of its data"},
        {"AnotherHash", good.substr(0, good.find("#h")) + "#h 0 0 0 0 0\n",
         "its hash 00000000 00000000 00000000 00000000 00000000 is not that of its data"},
        {"NotMidnight", remade({{63'072'000, 10}, {kJuly2030 + 1, 11}}),
         "line 12: 4118083201 (2030-07-01T00:00:01.000000Z) is not a UTC midnight"},
        {"OutOfOrder", remade({{63'072'000, 10}, {kJanuary2031, 11}, {kJuly2030, 12}}),
         "line 13: not later than the line before"},
        {"TwoSecondsAtOnce", remade({{63'072'000, 10}, {kJuly2030, 12}}),
         "line 12: TAI-UTC goes from 10 to 12: a leap second changes it by one"},
        {"NoTaiUtc", edit(good, ntp(kJuly2030) + "\t11", ntp(kJuly2030)),
         "line 12: not \"NTP_TIME TAI-UTC [# comment]\""},
        {"Garbage", edit(good, ntp(kJuly2030), "leap!"), "line 12: not \"NTP_TIME TAI-UTC"},
        {"ANul", edit(good, "a test line", std::string("a\0line", 6)), "line 11: a NUL character"},
    };
    for (const Broken &c : cases) {
        const korvicd::LeapParse p = korvicd::parse_leap_table(c.text);
        EXPECT_FALSE(p.table) << c.name;
        EXPECT_THAT(p.problem, HasSubstr(c.problem)) << c.name;
        EXPECT_EQ(p.problem.find('\n'), std::string::npos) << c.name;
    }
    EXPECT_THAT(made_hash, ::testing::StartsWith("#h\t"));
}

// The leap field for the whole UTC day that ends with the leap second, by the system clock;
// "near" for the second either side of its instant; "expired" from the expiry on.
TEST(LeapTable, WhatItSaysAboutAnInstant) {
    const korvicd::LeapTable t = *korvicd::parse_leap_table(test_table()).table;
    const struct {
        korvic::system_time t;
        LeapInfo info;
    } cases[] = {
        {at(kJuly2030 - kDay, -1ns), {0, false, false}},
        {at(kJuly2030 - kDay), {1, false, false}},
        {at(kJuly2030 - 1, -1ns), {1, false, false}},
        {at(kJuly2030 - 1), {1, true, false}},
        {at(kJuly2030, -1ns), {1, true, false}},
        {at(kJuly2030), {0, true, false}},
        {at(kJuly2030 + 1), {0, true, false}},
        {at(kJuly2030 + 1, 1ns), {0, false, false}},
        {at(kJanuary2031 - kDay / 2), {2, false, false}},
        {at(kJanuary2031, -500ms), {2, true, false}},
        {at(kJanuary2031, 500ms), {0, true, false}},
        {at(kExpires, -1ns), {0, false, false}},
        {at(kExpires), {0, false, true}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(korvicd::leap_info(t, c.t), c.info)
            << c.t.time_since_epoch().count() << " ns: leap " << korvicd::leap_info(t, c.t).leap;
}

TEST(LeapFile, ReadUsedOrRefusedWithOneLine) {
    const korvicd_test::TempDir tmp;
    const fs::path &dir = tmp.path();
    const std::string path = (dir / "leap-seconds.list").string();
    std::ofstream(path) << test_table();
    korvicd::LeapLoad l = korvicd::load_leap_table(path, at(kUpdated));
    ASSERT_TRUE(l.table) << l.line;
    EXPECT_EQ(l.line,
              "leap second table " + path +
                  ": 2 leap seconds, the last at the end of 2030-12-31, expires 2031-07-01");
    l = korvicd::load_leap_table(path, at(kExpires));
    EXPECT_FALSE(l.table);
    EXPECT_EQ(l.line, "leap second table " + path +
                          " not used: expired on 2031-07-01 (a newer one comes with tzdata, or "
                          "from IERS)");

    std::ofstream(path) << edit(test_table(), ntp(kJuly2030), ntp(kJuly2030 + kDay));
    l = korvicd::load_leap_table(path, at(kUpdated));
    EXPECT_FALSE(l.table);
    EXPECT_THAT(l.line,
                ::testing::StartsWith("leap second table " + path + " not used: its hash "));

    const struct {
        std::string path;
        const char *why;
    } refused[] = {
        {(dir / "missing").string(), "not used: No such file or directory"},
        {dir.string(), "not used: not a regular file"},
        {(dir / "fifo").string(), "not used: not a regular file"},
        {(dir / "long").string(), "not used: longer than 65536 bytes"},
    };
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);  // no writer: must not block
    std::ofstream(dir / "long") << std::string(65537, '#');
    for (const auto &c : refused) {
        l = korvicd::load_leap_table(c.path, at(kUpdated));
        EXPECT_FALSE(l.table) << c.path;
        EXPECT_THAT(l.line, HasSubstr(c.why));
    }
}

}  // namespace
