// The console's items on the simulated board: korvic_sim runs the unchanged korvic_test on
// a virtual clock, so times are exact and the compare-event test is fast; its access trace
// (tab-separated) shows what reached the board, in order.
#include <gtest/gtest.h>

#include <ostream>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "console_fixture.h"

namespace {

using korvic::testing::ConsoleDir;
using korvic::testing::kClear;
using korvic::testing::kMenu;
using korvic::testing::kPause;
using korvic::testing::kRefused;
using korvic::testing::PtySession;

const std::string kRedraw = std::string(kClear) + kMenu;
constexpr const char *kLiveHeader = "\nEnter CTRL-C for new menu\n";
constexpr const char *kStart = "2026+100d 12:34:56.789123";
constexpr const char *kPresetPrompt =
    "Select time format: 1 = timespec:   2 = 64 bit Microsecond:\n"
    "                    3 = GPS:        4 = System Time:\n    > ";
constexpr const char *kComparePrompt =
    "Select time format: 1 = timespec:    2 = 64 bit Microsecond:\n"
    "                    3 = GPS:         4 = System Time: \n     > ";

constexpr std::uint32_t kHwControl = 0xF8;
constexpr std::uint32_t kHwStatus = 0xFC;
constexpr std::uint32_t kConfig = 0x118;
constexpr std::uint32_t kCompare0 = 0x138;
constexpr std::uint32_t kCompare1 = 0x13C;
constexpr std::uint32_t kPreset0 = 0x158;
constexpr std::uint32_t kPreset1 = 0x15C;
constexpr std::uint32_t kPreset2 = 0x160;

struct Access {
    bool board = false;
    char dir = '?';
    std::uint32_t offset = 0;
    std::uint32_t value = 0;
    std::string note;
};

std::vector<Access> board_accesses(const std::string &path) {
    std::ifstream in(path);
    std::vector<Access> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        std::stringstream fields(line);
        std::string field;
        while (std::getline(fields, field, '\t'))
            f.push_back(field);
        f.resize(7);
        if (f[1] != "board")
            continue;
        Access a;
        a.board = true;
        a.dir = f[2].empty() ? '?' : f[2][0];
        a.offset = static_cast<std::uint32_t>(std::stoul(f[3], nullptr, 16));
        a.value = static_cast<std::uint32_t>(std::stoul(f[5], nullptr, 16));
        a.note = f[6];
        out.push_back(a);
    }
    return out;
}

std::vector<Access> writes(const std::vector<Access> &accesses) {
    std::vector<Access> out;
    for (const Access &a : accesses)
        if (a.dir == 'W')
            out.push_back(a);
    return out;
}

std::string without(std::string text, const std::string &drop) {
    for (std::size_t at = text.find(drop); at != std::string::npos; at = text.find(drop, at))
        text.erase(at, drop.size());
    return text;
}

std::string event_lines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += "time compare event number " + std::to_string(i) + "\r";
    return s;
}

class OnSim : public ::testing::Test {
  protected:
    void SetUp() override { dir_.make_sim_config(); }

    void start(const std::string &board_time = kStart, const std::string &step = "0") {
        console_ = dir_.start({KORVIC_SIM_BINARY, "--virtual", "--start", board_time, "--step",
                               step, "--trace-tsv", trace_path(), "--", KORVIC_TEST_BINARY});
        ASSERT_TRUE(con().wait_for(kRedraw)) << con().output() << con().error_output();
    }
    void finish() {
        con().send("20\n");
        EXPECT_EQ(con().wait_exit(), 0) << con().output() << con().error_output();
    }
    // Runs a menu choice and returns what it printed up to the next menu.
    std::string run(const std::string &keys) {
        const std::size_t from = con().cursor();
        con().send(keys);
        EXPECT_TRUE(con().wait_for(kRedraw)) << con().output();
        return con().output().substr(from, con().cursor() - from - kRedraw.size());
    }
    // Starts a live display, takes its first n lines (each with its "\r"), leaves it with
    // one SIGINT and waits for the menu.
    std::vector<std::string> live_lines(const char *item, std::size_t n) {
        con().send(std::string(item) + "\n");
        EXPECT_TRUE(con().wait_for(kLiveHeader)) << con().output();
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t from = con().cursor();
            if (!con().wait_for("\r"))
                break;
            lines.push_back(con().output().substr(from, con().cursor() - from));
        }
        con().send_interrupt();
        EXPECT_TRUE(con().wait_for(kRedraw)) << con().output();
        return lines;
    }
    std::string live_line(const char *item) {
        const std::vector<std::string> lines = live_lines(item, 1);
        return lines.empty() ? "" : lines[0];
    }
    std::string trace_path() const { return (dir_.root() / "trace.tsv").string(); }
    std::vector<Access> trace() const { return board_accesses(trace_path()); }
    PtySession &con() { return *console_; }

    ConsoleDir dir_;
    std::unique_ptr<PtySession> console_;
};

// ---------------------------------------------------------------------------------------
// Live displays

struct DisplayCase {
    const char *name;
    const char *board_time;
    const char *before;  // menu choices made first
    const char *item;
    const char *line;
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const DisplayCase &c, std::ostream *os) {
    *os << c.name;
}

const DisplayCase kDisplays[] = {
    {"gps_four_digit_year", kStart, "", "13",
     "time is 2026 years 100 days  12 hours 34 min 56 sec 789 ms 123 us\r"},
    {"gps_small_fields", "2026+5d 01:02:03.004005", "", "13",
     "time is 2026 years   5 days   1 hours  2 min  3 sec   4 ms   5 us\r"},
    {"raw_running", kStart, "", "10",
     "time is 12 hours 34 min 56 sec 789 ms 123 us  status is 8\r"},
    // After a preset the nibble holds running (8) and time set (4): 12, shown in hex.
    {"raw_after_reset", kStart, "6\n", "10",
     "time is 00 hours 00 min 00 sec 000 ms 000 us  status is c\r"},
    {"raw_stopped_after_reset", kStart, "6\n4\n", "10",
     "time is 00 hours 00 min 00 sec 000 ms 000 us  status is 4\r"},
};

class Display : public OnSim, public ::testing::WithParamInterface<DisplayCase> {};

TEST_P(Display, ShowsTheBoardTime) {
    const DisplayCase &c = GetParam();
    start(c.board_time);
    for (const char *p = c.before; *p != '\0'; p += 2)
        run(std::string(p, 2));
    EXPECT_EQ(live_line(c.item), c.line);
    finish();
}

INSTANTIATE_TEST_SUITE_P(Times, Display, ::testing::ValuesIn(kDisplays),
                         [](const auto &info) { return std::string(info.param.name); });

class LiveDisplay : public OnSim, public ::testing::WithParamInterface<const char *> {};

TEST_P(LiveDisplay, OneInterruptReturnsToTheMenuWithTheCountAtZero) {
    start();
    EXPECT_EQ(live_lines(GetParam(), 3).size(), 3u);
    // The display took that SIGINT back: one more at the menu counts as a first one.
    ASSERT_TRUE(con().interrupt_taken());
    con().send("8\n");
    ASSERT_TRUE(con().wait_for("config register = ")) << con().output();
    ASSERT_TRUE(con().wait_for(kPause));
    con().send("\n");
    ASSERT_TRUE(con().wait_for(kRedraw));
    finish();
}

TEST_P(LiveDisplay, EnteredWithTheCountAtOneShowsOneLineAndReturns) {
    start();
    ASSERT_TRUE(con().interrupt_taken());
    con().send(std::string(GetParam()) + "\n");
    ASSERT_TRUE(con().wait_for(kLiveHeader));
    const std::size_t from = con().cursor();
    ASSERT_TRUE(con().wait_for(kRedraw)) << con().output();
    const std::string shown = con().output().substr(from, con().cursor() - from - kRedraw.size());
    EXPECT_EQ(shown.rfind("time is ", 0), 0u) << shown;
    EXPECT_EQ(shown.find('\r'), shown.size() - 1) << shown;
    // The count is back at 0.
    ASSERT_TRUE(con().interrupt_taken());
    con().send("8\n");
    ASSERT_TRUE(con().wait_for("config register = ")) << con().output();
    con().send("\n");
    ASSERT_TRUE(con().wait_for(kRedraw));
    finish();
}

INSTANTIATE_TEST_SUITE_P(Items, LiveDisplay, ::testing::Values("10", "13"),
                         [](const auto &info) { return "item" + std::string(info.param); });

TEST_F(OnSim, StopTimerFreezesTheBoardTimeAndStartTimerLetsItRun) {
    start(kStart, "1ms");
    EXPECT_EQ(run("4\n"), "case 4\n");
    const std::vector<std::string> frozen = live_lines("13", 3);
    ASSERT_EQ(frozen.size(), 3u);
    EXPECT_EQ(frozen[0], frozen[1]);
    EXPECT_EQ(frozen[1], frozen[2]);

    EXPECT_EQ(run("2\n"), "");
    const std::vector<std::string> running = live_lines("13", 3);
    ASSERT_EQ(running.size(), 3u);
    EXPECT_LT(running[0], running[1]);  // same width fields: later times sort later
    EXPECT_LT(running[1], running[2]);
    finish();

    std::vector<std::string> notes;
    for (const Access &a : writes(trace()))
        if (a.offset == kConfig)
            notes.push_back(a.note);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("timer stopped at"), std::string::npos) << notes[0];
    EXPECT_NE(notes[1].find("timer started at"), std::string::npos) << notes[1];
}

// ---------------------------------------------------------------------------------------
// Presets

struct PresetCase {
    const char *name;
    const char *keys;
    std::string shown;
    std::uint32_t words[3];
    const char *gps_line;  // item 13 afterwards
};

void PrintTo(const PresetCase &c, std::ostream *os) {
    *os << c.name;
}

const PresetCase kPresets[] = {
    {"timespec",
     "7\n1\n1692740265 123456789\n",
     std::string(kPresetPrompt) + "Enter time in timespec format Seconds Nanoseconds :" +
         "\nSetting time 1692740265 Seconds 123456789 Nanoseconds\n",
     {0x00301245, 0x37213302, 0x23200000},
     "time is 2023 years 233 days  21 hours 37 min 45 sec 123 ms   0 us\r"},
    {"microseconds",
     "7\n2\n1691617065123456\n",
     std::string(kPresetPrompt) + "Enter time in microsecond format: ",
     {0x00301245, 0x37213302, 0x23200000},
     "time is 2023 years 233 days  21 hours 37 min 45 sec 123 ms   0 us\r"},
    {"gps",
     "7\n3\n2023\n234\n21\n37\n45\n123\n",
     std::string(kPresetPrompt) +
         "Enter time in GPS format:\nYears: Days: Hours: Minutes: Seconds: Milliseconds: ",
     {0x00301245, 0x37213402, 0x23200000},
     "time is 2023 years 234 days  21 hours 37 min 45 sec 123 ms   0 us\r"},
    {"reset",
     "6\n",
     "",
     {0, 0, 0},
     "time is   0 years   0 days   0 hours  0 min  0 sec   0 ms   0 us\r"},
};

class Preset : public OnSim, public ::testing::WithParamInterface<PresetCase> {};

TEST_P(Preset, WritesThePresetWordsThenTheLoadBit) {
    const PresetCase &c = GetParam();
    start();
    EXPECT_EQ(run(c.keys), c.shown);
    EXPECT_EQ(live_line("13"), c.gps_line);
    finish();

    const std::vector<Access> t = trace();
    ASSERT_GE(t.size(), 5u);
    const std::uint32_t offsets[3] = {kPreset0, kPreset1, kPreset2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t[i].dir, 'W');
        EXPECT_EQ(t[i].offset, offsets[i]);
        EXPECT_EQ(t[i].value, c.words[i]) << std::hex << t[i].value;
    }
    EXPECT_EQ(t[3].dir, 'R');
    EXPECT_EQ(t[3].offset, kConfig);
    EXPECT_EQ(t[4].dir, 'W');
    EXPECT_EQ(t[4].offset, kConfig);
    EXPECT_EQ(t[4].value & (1u << 26), 1u << 26);
    EXPECT_NE(t[4].note.find("preset loaded"), std::string::npos) << t[4].note;
}

INSTANTIATE_TEST_SUITE_P(Formats, Preset, ::testing::ValuesIn(kPresets),
                         [](const auto &info) { return std::string(info.param.name); });

// The system clock's seconds as gettimeofday, which the console reads, gives them. Not
// time(): it reads a coarser clock that can still show the last second for a few
// milliseconds after gettimeofday has moved on.
std::time_t system_seconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

// Seconds since 1970 of a board time given as year, day of year (from 0) and time of day.
std::int64_t board_seconds(int year, int day, int h, int m, int s) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = 0;
    tm.tm_mday = 1;
    return static_cast<std::int64_t>(timegm(&tm)) + std::int64_t{86400} * day + 3600 * h + 60 * m +
           s;
}

TEST_F(OnSim, PresetFromTheSystemClock) {
    start();
    const std::int64_t before = system_seconds();
    EXPECT_EQ(run("7\n4\n"), kPresetPrompt);
    const std::int64_t after = system_seconds();
    const std::string line = live_line("13");
    int year = 0, day = 0, h = 0, m = 0, s = 0, ms = 0, us = 0;
    ASSERT_EQ(
        std::sscanf(line.c_str(), "time is %d years %d days %d hours %d min %d sec %d ms %d us",
                    &year, &day, &h, &m, &s, &ms, &us),
        7)
        << line;
    const std::int64_t shown = board_seconds(year, day, h, m, s);
    EXPECT_GE(shown, before) << line;
    EXPECT_LE(shown, after) << line;
    EXPECT_EQ(us, 0);  // the preset register holds no microseconds
    finish();

    const std::vector<Access> w = writes(trace());
    ASSERT_GE(w.size(), 4u);
    EXPECT_EQ(w[0].offset, kPreset0);
    EXPECT_EQ(w[1].offset, kPreset1);
    EXPECT_EQ(w[2].offset, kPreset2);
    EXPECT_EQ(w[3].offset, kConfig);
    EXPECT_NE(w[3].note.find("preset loaded"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Bit items

struct BitCase {
    const char *name;
    const char *keys;
    std::uint32_t offset;  // 0: nothing may be written
    std::uint32_t value;
};

void PrintTo(const BitCase &c, std::ostream *os) {
    *os << c.name;
}

const BitCase kBits[] = {
    {"hw_selector_0", "3\n0 1\n", kHwControl, 0x01000000},
    {"hw_selector_5", "3\n5 1\n", kHwControl, 0x20000000},
    {"hw_value_low_bit_only", "3\n4 3\n", kHwControl, 0x10000000},
    {"hw_selector_out_of_range", "3\n6 1\n", 0, 0},
    {"hw_negative_selector", "3\n-1 1\n", 0, 0},
    {"conf_selector_8", "9\n8 1\n", kConfig, 0x00800000},
    {"conf_selector_9", "9\n9 26\n", kConfig, 0x000A0000},
    {"conf_selector_10_eight_bit_value", "9\n10 503\n", kConfig, 0x00000070},
    {"conf_selector_out_of_range", "9\n11 1\n", 0, 0},
    {"stop_timer", "4\n", kConfig, 0x08000000},
    {"start_timer", "2\n", kConfig, 0x00000000},
};

class BitItem : public OnSim, public ::testing::WithParamInterface<BitCase> {};

TEST_P(BitItem, WritesTheChosenField) {
    const BitCase &c = GetParam();
    start();
    run(c.keys);
    finish();
    const std::vector<Access> w = writes(trace());
    if (c.offset == 0) {
        EXPECT_TRUE(w.empty()) << w.size() << " writes";
        return;
    }
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].offset, c.offset);
    EXPECT_EQ(w[0].value, c.value) << std::hex << w[0].value;
}

INSTANTIATE_TEST_SUITE_P(Fields, BitItem, ::testing::ValuesIn(kBits),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Compare-event test

// Compare time 12:34:56.000000 (format 1); with mask 4 only the milliseconds and
// microseconds are compared: an event at every whole second.
constexpr const char *kEverySecond = "11\n1\n4\n1774701296 0\n";
const std::string kEverySecondShown = std::string(kComparePrompt) + "Enter Mask value: " +
                                      "Enter time in timespec format Seconds Nanoseconds :" +
                                      "\nSetting time 1774701296 Seconds 0 Nanoseconds\n";

TEST_F(OnSim, CompareEveryWholeSecondWaitsForTwentyEvents) {
    start(kStart, "10ms");
    const std::string shown = run(kEverySecond);
    ASSERT_EQ(shown.rfind(kEverySecondShown, 0), 0u) << shown;
    const std::string events = shown.substr(kEverySecondShown.size());
    EXPECT_NE(events.find("waiting...\r"), std::string::npos);
    EXPECT_EQ(without(events, "waiting...\r"), event_lines(20));
    finish();

    const std::vector<Access> w = writes(trace());
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[0].offset, kCompare0);
    EXPECT_EQ(w[1].offset, kCompare1);
    EXPECT_NE(w[1].note.find("mask 4"), std::string::npos) << w[1].note;
    // Then one clear of the event flag per event.
    std::size_t clears = 0;
    for (const Access &a : w)
        clears += a.offset == kHwControl && a.value == 0x02000000;
    EXPECT_EQ(clears, 20u);
}

std::size_t occurrences(const std::string &text, const std::string &part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The flag is polled without pause, but "waiting...\r" is written only when it can be seen:
// as each wait begins, then at most a few times a second (not once per poll).
TEST_F(OnSim, CompareWaitWritesTheWaitingLineABoundedNumberOfTimes) {
    start(kStart, "1ms");  // a thousand polls to every second of board time
    const auto began = std::chrono::steady_clock::now();
    const std::string shown = run(kEverySecond);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    finish();
    ASSERT_EQ(shown.rfind(kEverySecondShown, 0), 0u) << shown;
    const std::string events = shown.substr(kEverySecondShown.size());
    EXPECT_EQ(without(events, "waiting...\r"), event_lines(20));

    std::size_t polls = 0;
    for (const Access &a : trace())
        polls += a.dir == 'R' && a.offset == kHwStatus;
    ASSERT_GE(polls, 10000u);
    const std::size_t lines = occurrences(events, "waiting...\r");
    EXPECT_GE(lines, 1u);
    // One as each of the 20 waits begins, at most 4 a second more, and a margin.
    EXPECT_LE(lines, 20 + static_cast<std::size_t>(4 * seconds) + 4)
        << polls << " polls in " << seconds << " s";
}

TEST_F(OnSim, CompareWithTheFlagAlreadySetPrintsNoWaiting) {
    // Mask 5: an event every millisecond, and every access moves the clock 10 ms, so the
    // flag is set again at every read.
    start(kStart, "10ms");
    const std::string shown = run("11\n1\n5\n1774701296 0\n");
    const std::string head = std::string(kComparePrompt) + "Enter Mask value: " +
                             "Enter time in timespec format Seconds Nanoseconds :" +
                             "\nSetting time 1774701296 Seconds 0 Nanoseconds\n";
    EXPECT_EQ(shown, head + event_lines(20));
    finish();
}

class CompareWithoutTime : public OnSim, public ::testing::WithParamInterface<const char *> {};

TEST_P(CompareWithoutTime, ReadsTheMaskWritesNothingAndStillWaits) {
    start(kStart, "10ms");
    run(kEverySecond);  // leaves a compare time that gives an event every second
    const std::size_t before = trace().size();
    const std::string shown = run("11\n" + std::string(GetParam()) + "\n7\n");
    const std::string head = std::string(kComparePrompt) + "Enter Mask value: ";
    ASSERT_EQ(shown.rfind(head, 0), 0u) << shown;
    EXPECT_EQ(without(shown.substr(head.size()), "waiting...\r"), event_lines(20));
    finish();
    const std::vector<Access> t = trace();
    for (std::size_t i = before; i < t.size(); ++i) {
        if (t[i].dir == 'W') {
            EXPECT_NE(t[i].offset, kCompare0);
            EXPECT_NE(t[i].offset, kCompare1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, CompareWithoutTime, ::testing::Values("0", "5"),
                         [](const auto &info) { return "format" + std::string(info.param); });

TEST_F(OnSim, CompareTimeFromTheSystemClock) {
    start(kStart, "10ms");
    const std::time_t before = system_seconds();
    const std::string shown = run("11\n4\n4\n");
    const std::time_t after = system_seconds();
    const std::string head = std::string(kComparePrompt) + "Enter Mask value: ";
    ASSERT_EQ(shown.rfind(head, 0), 0u) << shown;
    EXPECT_EQ(without(shown.substr(head.size()), "waiting...\r"), event_lines(20));
    finish();

    const std::vector<Access> w = writes(trace());
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[0].offset, kCompare0);
    ASSERT_EQ(w[1].offset, kCompare1);
    int day = 0, h = 0, m = 0, s = 0, mask = -1;
    ASSERT_EQ(std::sscanf(w[1].note.c_str(), "compare at day %d %d:%d:%d.%*d, mask %d", &day, &h,
                          &m, &s, &mask),
              5)
        << w[1].note;
    EXPECT_EQ(mask, 4);
    std::tm b{};
    std::tm a{};
    gmtime_r(&before, &b);
    gmtime_r(&after, &a);
    const long set = ((day * 24L + h) * 60 + m) * 60 + s;
    EXPECT_GE(set, ((b.tm_yday * 24L + b.tm_hour) * 60 + b.tm_min) * 60 + b.tm_sec);
    EXPECT_LE(set, ((a.tm_yday * 24L + a.tm_hour) * 60 + a.tm_min) * 60 + a.tm_sec);
}

TEST_F(OnSim, TwoInterruptsEndTheEventWait) {
    start(kStart, "0");  // the clock stands still: no event ever comes
    con().send("11\n0\n0\n");
    ASSERT_TRUE(con().wait_for("waiting...\r")) << con().output();
    ASSERT_TRUE(con().interrupt_taken());
    con().send_interrupt();
    EXPECT_EQ(con().wait_exit(), 0);
    EXPECT_EQ(con().output().find("time compare event number"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Values that do not convert

class RefusedOnSim : public OnSim, public ::testing::WithParamInterface<const char *> {};

TEST_P(RefusedOnSim, WritesNothingToTheBoard) {
    start();
    EXPECT_NE(run(GetParam()).find(kRefused), std::string::npos) << con().output();
    finish();
    EXPECT_TRUE(writes(trace()).empty());
}

INSTANTIATE_TEST_SUITE_P(Values, RefusedOnSim,
                         ::testing::Values("3\n1 x\n", "9\n99999999999 1\n", "7\n2\nsoon\n",
                                           "7\n1\n12 3000000000\n", "7\n3\n2026\n-\n",
                                           "11\n1\n4\nnow 0\n", "11\n2\nall\n"),
                         [](const auto &info) { return "case_" + std::to_string(info.index); });

}  // namespace
