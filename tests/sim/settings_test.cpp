// Simulator settings, trace lines, and the library reading the simulated board through a
// trapped window in the same process.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "calendar.h"
#include "config.h"
#include "korvic_api.h"
#include "settings.h"
#include "simulator.h"
#include "trace.h"
#include "trap.h"

namespace {

using namespace korvic::sim;

std::int64_t at(int year, int yday, int h, int m, int s, int ms = 0, int us = 0) {
    return to_us(BoardFields{year, yday, h, m, s, ms, us});
}

// The calendar date, @SECONDS and the board's own day of the year (from 0, as 2026+100d);
// an ISO 8601 ordinal date (from 001) is refused with both readings. Times that name no
// instant, or one the board's digits cannot start at, are refused, never moved to another
// day or year.
TEST(SimSettings, StartTimeForms) {
    struct Case {
        const char *text;
        std::optional<std::int64_t> want;
        const char *why = "";  // a part of the reason given
    };
    const Case cases[] = {
        // The board's day of the year, from 0.
        {"2026+100d 12:34:56", at(2026, 100, 12, 34, 56)},
        {"2026+100dT12:34:56.789123", at(2026, 100, 12, 34, 56, 789, 123)},
        {"2026+0d 00:00:00.5", at(2026, 0, 0, 0, 0, 500)},
        {"2024+365d 23:59:59", at(2024, 365, 23, 59, 59)},
        {"2025+365d 00:00:00", std::nullopt, "2025 has the board's days 0 to 364"},
        {"2026+100 12:00:00", std::nullopt, "not a time"},
        {"2026+1000d 12:00:00", std::nullopt, "not a time"},
        {"2026+100d", std::nullopt, "not a time"},
        {"2026+100d 12:60:00", std::nullopt, "no such time of day"},
        // ISO 8601 ordinal dates, in either spelling.
        {"2026-100 12:34:56", std::nullopt,
         "2026-100 is ambiguous: ISO 8601 day 100 is 2026-04-10, the board's day 100 (from 000) "
         "is 2026-04-11; write the calendar date (2026-04-10 or 2026-04-11) or the board's day "
         "as 2026+100d"},
        {"2026-100T12:00:00Z", std::nullopt, "2026-100 is ambiguous"},
        {"2026-100", std::nullopt, "2026-100 is ambiguous"},
        {"2026-000 00:00:00", std::nullopt,
         "ISO 8601 has no day 000, the board's day 000 (from 000) is 2026-01-01"},
        {"2026-365T00:00:00", std::nullopt,
         "ISO 8601 day 365 is 2026-12-31, the board (from 000) has no day 365; write the "
         "calendar date (2026-12-31)"},
        {"2026-366 00:00:00", std::nullopt, "2026 has no day 366"},
        // Calendar dates and seconds, by the library's parser.
        {"2024-12-31 00:00:00", at(2024, 365, 0, 0, 0)},
        {"2025-03-01T00:00:00Z", at(2025, 59, 0, 0, 0)},
        {"2024-03-01T00:00:00", at(2024, 60, 0, 0, 0)},
        {"2024-02-29 00:00:00", at(2024, 59, 0, 0, 0)},
        {"2026-02-29 00:00:00", std::nullopt, "February 2026 has no day 29"},
        {"2026-04-31T12:00:00", std::nullopt, "April 2026 has no day 31"},
        {"2026-00-10 00:00:00", std::nullopt, "no month 00"},
        {"2026-03-28T12:00:00+01:00", std::nullopt, "a zone offset is not taken"},
        {"2026-03-28 12:34:56.1234567", std::nullopt, "more than 6 digits"},
        {"@1774701296", std::int64_t{1774701296} * kUsPerSecond},
        {"@0.000001", 1},
        {"@0000000000000000000001", kUsPerSecond},
        {"1970-01-01 00:00:00", 0},
        {"9999-12-31 23:59:59.999999", at(9999, 364, 23, 59, 59, 999, 999)},
        {"@253402300799.999999", at(9999, 364, 23, 59, 59, 999, 999)},
        {"1969-12-31 23:59:59", std::nullopt, "before the year 1970"},
        {"@-1", std::nullopt, "before the year 1970"},
        {"@253402300800", std::nullopt, "after the year 9999"},
        {"@999999999999", std::nullopt, "after the year 9999"},
        {"@99999999999999999999999", std::nullopt, "beyond the 64-bit microsecond count"},
        {"2026-03-28 12:34", std::nullopt, "not a time"},
        {"2026-03-28 12:34:56 ", std::nullopt, "not a time"},
        {"26-100 12:00:00", std::nullopt, "not a time: YYYY-MM-DDThh:mm:ss[.ffffff][Z]"},
        {"now", std::nullopt, "YYYY+DDDd hh:mm:ss[.ffffff] (the board's day of the year, from 0)"},
        {"", std::nullopt, "not a time"},
    };
    for (const Case &c : cases) {
        std::string why;
        EXPECT_EQ(parse_time(c.text, &why), c.want) << c.text;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
    }
}

// The library's duration parser for every option and variable: a unit is required (zero
// aside), decimals are taken when they come to whole microseconds, and nothing overflows.
TEST(SimSettings, DurationsNeedAUnitAndRefuseOverflow) {
    struct Case {
        const char *text;
        Sign sign;
        std::optional<std::int64_t> want;
        const char *why = "";
    };
    const Case cases[] = {
        {"250us", Sign::Refused, 250},
        {"3ms", Sign::Refused, 3000},
        {"2s", Sign::Refused, 2 * kUsPerSecond},
        {"1min", Sign::Refused, kUsPerMinute},
        {"1h", Sign::Refused, kUsPerHour},
        {"1.5s", Sign::Refused, 1500 * kUsPerMs},
        {"0.25ms", Sign::Refused, 250},
        {"1000ns", Sign::Refused, 1},
        {"1.50000000000s", Sign::Refused, 1500 * kUsPerMs},
        {"0.0001h", Sign::Refused, 360 * kUsPerMs},
        {"0", Sign::Refused, 0},
        {"0.0", Sign::Refused, 0},
        {"250", Sign::Refused, std::nullopt, "no unit"},
        {"1.5", Sign::Refused, std::nullopt, "no unit"},
        {"5parsecs", Sign::Refused, std::nullopt, "unknown unit \"parsecs\""},
        {"1.5us", Sign::Refused, std::nullopt, "finer than a microsecond"},
        {"1500ns", Sign::Refused, std::nullopt, "finer than a microsecond"},
        {"0.0000001s", Sign::Refused, std::nullopt, "finer than a microsecond"},
        {"999999999999h", Sign::Refused, std::nullopt, "too large"},
        // The library counts nanoseconds in 64 bits: some 292 years.
        {"9223372036854775us", Sign::Refused, 9223372036854775},
        {"9223372036854776us", Sign::Refused, std::nullopt, "too large"},
        {"2562047h", Sign::Refused, 2562047 * kUsPerHour},
        {"2562048h", Sign::Refused, std::nullopt, "too large"},
        {"99999999999999999999999s", Sign::Refused, std::nullopt, "too large"},
        {"1 s", Sign::Refused, std::nullopt},
        {"s", Sign::Refused, std::nullopt, "not a duration"},
        {".5s", Sign::Refused, std::nullopt, "not a duration"},
        {"1.s", Sign::Refused, std::nullopt, "not a duration"},
        {"-1s", Sign::Refused, std::nullopt, "not a duration"},
        {"+1s", Sign::Refused, std::nullopt, "not a duration"},
        {"-1.5s", Sign::Allowed, -1500 * kUsPerMs},
        {"+250ms", Sign::Allowed, 250 * kUsPerMs},
        {"-0", Sign::Allowed, 0},
        {"--1s", Sign::Allowed, std::nullopt},
        {"", Sign::Refused, std::nullopt},
    };
    for (const Case &c : cases) {
        std::string why;
        EXPECT_EQ(parse_duration_us(c.text, c.sign, &why), c.want) << c.text;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
        // The reason alone: the option's message names the option and the value itself.
        EXPECT_EQ(why.find("korvic:"), std::string::npos) << c.text << ": " << why;
    }
}

// The external event signal cannot be one that the trap engine, the launcher or the
// console use, one that cannot be caught, or a fault whose handler would loop.
TEST(SimSettings, ExtSignalRefusesSignalsTheSimulatorNeeds) {
    struct Case {
        std::string text;
        int want;
        const char *why = "";
    };
    const Case cases[] = {
        {"USR1", SIGUSR1},
        {"SIGUSR2", SIGUSR2},
        {"usr1", SIGUSR1},
        {"10", SIGUSR1},
        {"WINCH", SIGWINCH},
        {"SIGALRM", SIGALRM},
        {"POLL", SIGIO},
        {"RTMIN", SIGRTMIN},
        {"SIGRTMIN+3", SIGRTMIN + 3},
        {"RTMAX-1", SIGRTMAX - 1},
        {std::to_string(SIGRTMAX), SIGRTMAX},
        {"11", 0, "SIGSEGV used by the simulator's trap engine"},
        {"SEGV", 0, "SIGSEGV used by the simulator's trap engine"},
        {"5", 0, "SIGTRAP used by the simulator's trap engine"},
        {"TRAP", 0, "SIGTRAP"},
        {"9", 0, "SIGKILL cannot be caught"},
        {"19", 0, "SIGSTOP cannot be caught"},
        {"SIGKILL", 0, "cannot be caught"},
        {"1", 0, "SIGHUP used by the launcher"},
        {"2", 0, "SIGINT used by the console"},
        {"15", 0, "SIGTERM used by the launcher"},
        {"BUS", 0, "a fault signal"},
        {"8", 0, "SIGFPE a fault signal"},
        {"ILL", 0, "a fault signal"},
        {"20", 0, "job control"},
        {"32", 0, "reserved by the C library"},
        {"33", 0, "reserved by the C library"},
        {"0", 0, "no signal number 0"},
        {"65", 0, "no signal number 65"},
        {"1000", 0, "no signal number"},
        {"RTMIN+40", 0, "beyond the real-time signals"},
        {"RTMIN-1", 0, "no such signal"},
        {"KILLALL", 0, "no such signal"},
        {"", 0, "no such signal"},
    };
    for (const Case &c : cases) {
        std::string why;
        EXPECT_EQ(parse_signal(c.text, &why), c.want) << c.text;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
    }
    EXPECT_EQ(signal_name(SIGSEGV), "SIGSEGV");
    EXPECT_EQ(signal_name(SIGRTMIN + 2), "SIGRTMIN+2");
}

// What korvic_cfg.dat cannot carry whole is refused before anything runs.
TEST(SimSettings, DevicePathsFitAConfigurationLine) {
    const std::string longest = "/" + std::string(kMaxDevicePathLength - 1, 'p');
    struct Case {
        std::string path;
        bool ok;
        const char *why = "";
    };
    const Case cases[] = {
        {"/dev/korvic_sim/board", true},
        {"relative/board", true},
        {longest, true},
        {longest + "p", false, "longer than the 118 characters"},
        {"", false, "an empty path"},
        {"/dev/a b", false, "a blank"},
        {"/dev/a\tb", false, "a blank"},
        {"/dev/a\nb", false, "a blank"},
        {"/dev/a\x01", false, "control character"},
    };
    for (const Case &c : cases) {
        std::string why;
        EXPECT_EQ(check_device_path(c.path, &why), c.ok) << c.path;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.path << ": " << why;
    }
    // The library's line: "MEM_PATH=" and the path, cut at kLineBuffer - 1 characters.
    EXPECT_EQ(std::string("MEM_PATH=").size() + kMaxDevicePathLength,
              static_cast<std::size_t>(korvic::config::kLineBuffer - 1));
}

TEST(SimSettings, BusOrders) {
    EXPECT_EQ(parse_bus_order("swapped"), BusOrder::Swapped);
    EXPECT_EQ(parse_bus_order("native"), BusOrder::Native);
    std::string why;
    EXPECT_EQ(parse_bus_order("big", &why), std::nullopt);
    EXPECT_EQ(why, "neither native nor swapped");
}

std::map<std::string, std::string> g_env;
char *fake_getenv(const char *name) {
    auto it = g_env.find(name);
    return it == g_env.end() ? nullptr : it->second.data();
}

TEST(SimSettings, FromEnvironment) {
    std::string error;
    g_env.clear();
    auto s = settings_from_env(&fake_getenv, &error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->board().mem_path, kDefaultMemPath);
    EXPECT_FALSE(s->virtual_clock);
    EXPECT_FALSE(s->board().start_us);

    g_env = {{kEnvMemPath, "/tmp/board"}, {kEnvClock, "virtual"},    {kEnvStart, "@10"},
             {kEnvStep, "5ms"},           {kEnvBusOrder, "swapped"}, {kEnvExtPeriod, "1s"},
             {kEnvExtSignal, "USR2"},     {kEnvTraceTsv, "t.tsv"}};
    s = settings_from_env(&fake_getenv, &error);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->board().mem_path, "/tmp/board");
    EXPECT_EQ(s->board().int_path, kDefaultIntPath);
    EXPECT_TRUE(s->virtual_clock);
    EXPECT_EQ(s->board().start_us, 10 * kUsPerSecond);
    EXPECT_EQ(s->board().step_us, 5000);
    EXPECT_EQ(s->board().bus_order, BusOrder::Swapped);
    EXPECT_EQ(s->board().external_event_period_us, kUsPerSecond);
    EXPECT_EQ(s->board().external_event_signal, SIGUSR2);
    EXPECT_EQ(s->trace_tsv_path, "t.tsv");

    for (const char *bad :
         {kEnvClock, kEnvStart, kEnvStep, kEnvBusOrder, kEnvExtPeriod, kEnvExtSignal}) {
        g_env = {{bad, "bogus"}};
        EXPECT_FALSE(settings_from_env(&fake_getenv, &error)) << bad;
        EXPECT_EQ(error.substr(0, error.find(':')), std::string(bad) + "=\"bogus\"");
    }
}

// The variables take the option's parser and bounds: a value the launcher refuses as an
// option is refused as a variable too, with the variable's name and the reason.
TEST(SimSettings, VariablesAreCheckedLikeTheOptions) {
    struct Case {
        const char *name;
        const char *value;
        const char *why;  // "" when accepted
    };
    const Case cases[] = {
        {kEnvStep, "24h", ""},
        {kEnvStep, "24.000001h", "more than 24h per register access"},
        {kEnvStep, "2562047h", "more than 24h per register access"},
        {kEnvStep, "999999999999h", "too large"},
        {kEnvStep, "250", "no unit"},
        {kEnvExtPeriod, "24h", ""},
        {kEnvExtPeriod, "25h", "longer than 24h"},
        {kEnvExtPeriod, "0", "a period of 0"},
        {kEnvExtPeriod, "999999999999h", "too large"},
        {kEnvExtSignal, "SEGV", "SIGSEGV used by the simulator's trap engine"},
        {kEnvStart, "2026-02-29 00:00:00", "February 2026 has no day 29"},
        {kEnvMemPath, "/dev/a b", "a blank"},
        {kEnvIntPath, "/x/y z", "a blank"},
        {kEnvClock, "yes", "neither real nor virtual"},
    };
    for (const Case &c : cases) {
        std::string error;
        g_env = {{c.name, c.value}};
        const bool accepted = settings_from_env(&fake_getenv, &error).has_value();
        EXPECT_EQ(accepted, *c.why == '\0') << c.name << "=" << c.value;
        const std::string start = std::string(c.name) + "=\"" + c.value + "\": " + c.why;
        if (!accepted) {
            EXPECT_EQ(error.rfind(start, 0), 0u) << error;
        }
    }
    std::string error;
    g_env = {{kEnvMemPath, "/dev/same"}, {kEnvIntPath, "/dev/same"}};
    EXPECT_FALSE(settings_from_env(&fake_getenv, &error));
    EXPECT_EQ(error, "the register device and the bridge device have the same path \"/dev/same\"");
    g_env.clear();
}

// Per-board variables: the plain name sets every board, the "_K" form board K over it; a
// list ("_K" of the stand-stills and jumps) adds to the plain one. Board K's default paths
// carry its number.
TEST(SimSettings, BoardVariablesSetOneBoardOverAll) {
    g_env = {{kEnvBoards, "3"},
             {kEnvOffset, "+1s"},
             {board_variable(kEnvOffset, 2), "-2s"},
             {kEnvBusOrder, "swapped"},
             {board_variable(kEnvBusOrder, 3), "native"},
             {kEnvStopAt, "10s:1s"},
             {board_variable(kEnvStopAt, 3), "5s:2s,20s"},
             {board_variable(kEnvJumpAt, 1), "7s:-250ms"},
             {board_variable(kEnvMemPath, 2), "/tmp/second"}};
    std::string error;
    const auto s = settings_from_env(&fake_getenv, &error);
    g_env.clear();
    ASSERT_TRUE(s) << error;
    ASSERT_EQ(s->boards.size(), 3u);
    struct Want {
        const char *mem, *bridge;
        std::int64_t offset;
        BusOrder order;
        std::vector<ClockEvent> events;
    };
    using K = ClockEvent::Kind;
    const Want want[] = {
        {"/dev/korvic_sim/board",
         "/dev/korvic_sim/bridge",
         kUsPerSecond,
         BusOrder::Swapped,
         {{K::Jump, 7 * kUsPerSecond, -250 * kUsPerMs},
          {K::Stop, 10 * kUsPerSecond, kUsPerSecond}}},
        {"/tmp/second",
         "/dev/korvic_sim/bridge2",
         -2 * kUsPerSecond,
         BusOrder::Swapped,
         {{K::Stop, 10 * kUsPerSecond, kUsPerSecond}}},
        {"/dev/korvic_sim/board3",
         "/dev/korvic_sim/bridge3",
         kUsPerSecond,
         BusOrder::Native,
         {{K::Stop, 5 * kUsPerSecond, 2 * kUsPerSecond},
          {K::Stop, 10 * kUsPerSecond, kUsPerSecond},
          {K::Stop, 20 * kUsPerSecond, kForever}}},
    };
    for (int k = 1; k <= 3; ++k) {
        const BoardSettings &b = s->board(k);
        const Want &w = want[k - 1];
        EXPECT_EQ(b.mem_path, w.mem) << k;
        EXPECT_EQ(b.int_path, w.bridge) << k;
        EXPECT_EQ(b.offset_us, w.offset) << k;
        EXPECT_EQ(b.bus_order, w.order) << k;
        EXPECT_EQ(b.events, w.events) << k;
    }
}

// Settings that contradict each other are refused as a whole, naming what clashes.
TEST(SimSettings, ContradictionsAreRefused) {
    struct Case {
        std::map<std::string, std::string> env;
        const char *error;  // "" when accepted
    };
    const Case cases[] = {
        {{{kEnvBoards, "2"}, {kEnvMemPath, "/dev/x"}},
         "boards 1 and 2 have the same device path \"/dev/x\""},
        {{{kEnvBoards, "2"}, {board_variable(kEnvIntPath, 2), "/dev/korvic_sim/board"}},
         "boards 1 and 2 have the same device path \"/dev/korvic_sim/board\""},
        {{{kEnvBoards, "2"}, {board_variable(kEnvIntPath, 2), "/dev/korvic_sim/board2"}},
         "board 2: the register device and the bridge device have the same path"},
        {{{kEnvOffset, "1s"}, {kEnvClock, "virtual"}}, "--offset and --virtual exclude each other"},
        {{{kEnvOffset, "1s"}, {kEnvStart, "@100"}},
         "--offset and --start both set the board's time at power-up"},
        {{{kEnvBoards, "2"}, {board_variable(kEnvOffset, 2), "1s"}, {kEnvStart, "@100"}},
         "--offset and --start both set board 2's time at power-up"},
        {{{kEnvStopAt, "1s:5s,3s:1s"}}, "the stand-stills 1s:5s and 3s:1s of the board overlap"},
        {{{kEnvStopAt, "1s,2500ms:1s"}}, "the stand-stills 1s and 2500ms:1s of the board overlap"},
        {{{kEnvStopAt, "1s:5s,6s:1s"}, {kEnvJumpAt, "2s:+1s"}}, ""},
        {{{kEnvBoards, "2"},
          {board_variable(kEnvOffset, 2), "1s"},
          {board_variable(kEnvStart, 1), "@100"}},
         ""},
    };
    for (const Case &c : cases) {
        g_env = c.env;
        std::string error;
        const bool accepted = settings_from_env(&fake_getenv, &error).has_value();
        EXPECT_EQ(accepted, *c.error == '\0') << error;
        if (!accepted) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
    g_env.clear();
}

// The values of the clock options, each with its form, sign and bounds.
TEST(SimSettings, ClockFaultForms) {
    using K = ClockEvent::Kind;
    struct Case {
        const char *name;
        const char *value;
        const char *why;  // "" when accepted
    };
    const Case cases[] = {
        {kEnvDrift, "12.5", ""},
        {kEnvDrift, "-40ppm", ""},
        {kEnvDrift, "+100000", ""},
        {kEnvDrift, "100000.001", "more than 100000 ppm either way"},
        {kEnvDrift, "1.2345", "not a rate error in ppm"},
        {kEnvDrift, "1.", "not a rate error in ppm"},
        {kEnvDrift, "ppm", "not a rate error in ppm"},
        {kEnvDrift, "fast", "not a rate error in ppm"},
        {kEnvStopAt, "0:5s", ""},
        {kEnvStopAt, "3s", ""},
        {kEnvStopAt, "3s:0", "a stand-still of 0"},
        {kEnvStopAt, "-3s:1s", "not a duration"},
        {kEnvStopAt, "3s:-1s", "not a duration"},
        {kEnvStopAt, "3s:1.5us", "finer than a microsecond"},
        {kEnvStopAt, "3s:1s,", "not a duration"},
        {kEnvJumpAt, "3s:+2s", ""},
        {kEnvJumpAt, "3s:-500ms", ""},
        {kEnvJumpAt, "3s:2s", ""},
        {kEnvJumpAt, "3s", "not AT:STEP"},
        {kEnvJumpAt, "3s:0", "a jump of 0"},
        {kEnvJumpAt, "3:+1s", "no unit"},
        {kEnvStatusAt, "10s:8=0:5s", ""},
        {kEnvStatusAt, "0s:13=1,1s:10=0:1ms", ""},
        {kEnvStatusAt, "10s:9=0", "bit 9 is the compare event flag"},
        {kEnvStatusAt, "10s:11=1", "no status bit 11: the board's are 8, 10, 12 and 13"},
        {kEnvStatusAt, "10s:7=1", "no status bit 7"},
        {kEnvStatusAt, "10s:123=1", "no status bit 123"},
        {kEnvStatusAt, "10s:8=2", "not AT:BIT=VALUE[:FOR]"},
        {kEnvStatusAt, "10s:8=", "not AT:BIT=VALUE[:FOR]"},
        {kEnvStatusAt, "10s:8=01", "not AT:BIT=VALUE[:FOR]"},
        {kEnvStatusAt, "10s:8", "not AT:BIT=VALUE[:FOR]"},
        {kEnvStatusAt, "10s", "not AT:BIT=VALUE[:FOR]"},
        {kEnvStatusAt, "10s:8=0:0", "a fault that lasts 0"},
        {kEnvStatusAt, "10:8=0", "no unit"},
        {kEnvStatusAt, "10s:8=0:5", "no unit"},
        {kEnvLeapAt, "2017-01-01T00:00:00Z", ""},
        {kEnvLeapAt, "@1483228800:insert:repeat", ""},
        {kEnvLeapAt, "2016-12-31 23:59:00:delete", ""},
        {kEnvLeapAt, "2017-01-01T00:00:00:delete:60", "a deleted second is not shown"},
        {kEnvLeapAt, "2017-01-01T00:00:01", "not at a whole minute"},
        {kEnvLeapAt, "2017-01-01T00:00:00:sideways", "not a time"},
        {kEnvLeapAt, ":60", "not a time"},
        {kEnvLeapAt, "1969-12-31T23:59:00", "before the year 1970"},
        {kEnvOffset, "-1.5s", ""},
        {kEnvOffset, "+250ms", ""},
        {kEnvOffset, "250", "no unit"},
        {kEnvBoards, "64", ""},
        {kEnvBoards, "65", "not a number of boards from 1 to 64"},
        {kEnvBoards, "0", "not a number of boards"},
        {kEnvBoards, "two", "not a number of boards"},
    };
    for (const Case &c : cases) {
        SimSettings s;
        std::string why;
        EXPECT_EQ(apply_setting(c.name, c.value, &s, &why), *c.why == '\0') << c.value;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.value << ": " << why;
    }
    EXPECT_EQ(parse_drift("-12.5"), -12'500);
    EXPECT_EQ(parse_drift("0.001ppm"), 1);
    EXPECT_EQ(parse_stop_at("2s"), (ClockEvent{K::Stop, 2 * kUsPerSecond, kForever}));
    EXPECT_EQ(parse_jump_at("1ms:-1us"), (ClockEvent{K::Jump, kUsPerMs, -1}));
    EXPECT_EQ(parse_status_at("10s:8=0:5s"),
              (StatusFault{10 * kUsPerSecond, 5 * kUsPerSecond, 8, false}));
    EXPECT_EQ(parse_status_at("1ms:13=1"), (StatusFault{kUsPerMs, kForever, 13, true}));
    const std::int64_t leap = at(2017, 0, 0, 0, 0);
    using L = LeapSecond;
    EXPECT_EQ(parse_leap_at("2017-01-01T00:00:00Z"), (L{leap, L::Kind::Insert, L::Show::Sixty}));
    EXPECT_EQ(parse_leap_at("@1483228800:repeat"), (L{leap, L::Kind::Insert, L::Show::Repeat}));
    EXPECT_EQ(parse_leap_at("2017+000d 00:00:00:delete"),
              (L{leap, L::Kind::Delete, L::Show::Sixty}));
    // Faults of a board are kept in order of their moments, whatever order they came in.
    SimSettings s;
    ASSERT_TRUE(apply_setting(kEnvStatusAt, "5s:8=0,1s:13=0", &s));
    ASSERT_TRUE(apply_setting(kEnvStatusAt, "3s:10=1", &s));
    ASSERT_EQ(s.board().status_faults.size(), 3u);
    EXPECT_EQ(s.board().status_faults[0].at_us, kUsPerSecond);
    EXPECT_EQ(s.board().status_faults[1].at_us, 3 * kUsPerSecond);
    EXPECT_EQ(s.board().status_faults[2].at_us, 5 * kUsPerSecond);
}

TEST(SimTrace, LineForms) {
    TraceLine line;
    const TraceRecord r{12, Device::Board, 'W', 0xFC, 0xFFFFFFFF, "snapshot strobe", 4242};
    format_human(r, line);
    EXPECT_EQ(line.view(), "    12  W  board  0x0fc  TIME_STATUS0   0xffffffff  snapshot strobe\n");
    format_machine(r, line);
    EXPECT_EQ(line.view(),
              "12\tboard\tW\t0x0fc\tTIME_STATUS0\t0xffffffff\tsnapshot strobe\t4242\n");
    format_machine({3, Device::Board, 'R', 0x118, 0, "", 7}, line);
    EXPECT_EQ(line.view(), "3\tboard\tR\t0x118\tCONFIG\t0x00000000\t\t7\n");
    format_machine({4, Device::Board, 'R', 0x000, 0, "", 7}, line);
    EXPECT_EQ(line.view(), "4\tboard\tR\t0x000\t-\t0x00000000\t\t7\n");
    format_human({1234567, Device::Bridge, 'R', 0x4C, 0x49, ""}, line);
    EXPECT_EQ(line.view(), "1234567  R  bridge 0x04c  PLX_INTCSR     0x00000049\n");
    // Board 2 and on name their devices with their number; the columns stay apart.
    format_machine({5, Device::Bridge, 'W', 0x4C, 0x49, "", 7, 2}, line);
    EXPECT_EQ(line.view(), "5\tbridge2\tW\t0x04c\tPLX_INTCSR\t0x00000049\t\t7\n");
    format_human({5, Device::Board, 'R', 0x118, 0, "", 7, 2}, line);
    EXPECT_EQ(line.view(), "     5  R  board2 0x118  CONFIG         0x00000000\n");
    format_human({5, Device::Bridge, 'R', 0x4C, 0, "", 7, 12}, line);
    EXPECT_EQ(line.view(), "     5  R  bridge12 0x04c  PLX_INTCSR     0x00000000\n");
    format_process(4242, "/usr/bin/korvic_test", line);
    EXPECT_EQ(line.view(), "# process 4242: /usr/bin/korvic_test\n");
    EXPECT_EQ(kMachineHeader, "#seq\tdevice\tdir\toffset\tname\tvalue\tnote\tpid\n");
}

// Reads what a descriptor received so far.
std::string drain(int fd) {
    std::string out;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    return out;
}

// A process's accesses come after one line that names it, in the human form; the machine
// form carries the pid on every line. A forked child is a new process.
TEST(SimTrace, EachProcessIsNamedOnceAndCarriesItsPid) {
    const int human = memfd_create("human", 0), machine = memfd_create("machine", 0);
    ASSERT_GE(human, 0);
    ASSERT_GE(machine, 0);
    {
        const Trace trace(human, machine);
        trace.record({1, Device::Board, 'R', 0x118, 0, ""});
        trace.record({2, Device::Board, 'R', 0x118, 0, ""});
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            trace.record({3, Device::Board, 'R', 0x118, 0, ""});
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        const std::string self = "# process " + std::to_string(getpid()) + ": ";
        const std::string kid = "# process " + std::to_string(child) + ": ";
        const std::string text = drain(human);
        EXPECT_EQ(text.find(self), 0u) << text;
        EXPECT_EQ(text.find(self, 1), std::string::npos) << text;
        const std::size_t kid_line = text.find(kid);
        ASSERT_NE(kid_line, std::string::npos) << text;
        EXPECT_LT(text.find("     2  R"), kid_line);
        EXPECT_GT(text.find("     3  R"), kid_line);
        EXPECT_NE(text.find("sim_settings_tests\n"), std::string::npos) << text;
        const std::string rows = drain(machine);
        EXPECT_NE(rows.find("\t" + std::to_string(getpid()) + "\n"), std::string::npos) << rows;
        EXPECT_NE(
            rows.find("3\tboard\tR\t0x118\tCONFIG\t0x00000000\t\t" + std::to_string(child) + "\n"),
            std::string::npos)
            << rows;
    }
    close(human);
    close(machine);
}

// The library against the simulated board, in process: its time readers and the board's
// layouts agree, and the trace records what the accesses meant.
class SimulatedBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        tsv_ = memfd_create("trace", 0);
        ASSERT_GE(tsv_, 0);
        SimSettings s;
        s.virtual_clock = true;
        s.board().start_us = at(2026, 100, 12, 34, 56, 789, 123);
        sim_ = std::make_unique<Simulator>(s, -1, tsv_);
        window_ = std::make_unique<TrapWindow>(sim_->board_target(), 512);
        saved_base_ = base_addr;
        saved_kv_ = kv_mem;
        saved_swap_ = g_byte_swap;
        base_addr = static_cast<volatile std::uint32_t *>(window_->base());
        kv_mem = static_cast<volatile std::uint8_t *>(window_->base());
        g_byte_swap = 0;
    }
    void TearDown() override {
        base_addr = saved_base_;
        kv_mem = saved_kv_;
        g_byte_swap = saved_swap_;
        window_.reset();
        close(tsv_);
    }
    int tsv_ = -1;
    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<TrapWindow> window_;
    volatile std::uint32_t *saved_base_ = nullptr;
    volatile std::uint8_t *saved_kv_ = nullptr;
    std::int32_t saved_swap_ = 0;
};

TEST_F(SimulatedBoard, SnapshotTimeReadsTheBoardTime) {
    std::int32_t t[7] = {};
    ASSERT_EQ(snapshot_time(3, t), 0);
    const std::int32_t want[7] = {123, 789, 56, 34, 12, 100, 2026};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(t[i], want[i]) << i;
    const std::string trace = drain(tsv_);
    EXPECT_NE(trace.find("1\tboard\tW\t0x0fc\tTIME_STATUS0\t0xffffffff\tsnapshot strobe: "
                         "latched 2026-100 12:34:56.789123\t" +
                         std::to_string(getpid()) + "\n"),
              std::string::npos)
        << trace;
}

TEST_F(SimulatedBoard, PresetWrittenByTheLibraryBecomesTheBoardTime) {
    std::int32_t preset[7] = {0, 250, 0, 0, 8, 59, 2024};  // 2024-059 08:00:00.250
    ASSERT_EQ(set_new_time(3, preset), 0);
    EXPECT_EQ(sim_->board().time_us(), at(2024, 59, 8, 0, 0, 250));
    const std::string trace = drain(tsv_);
    EXPECT_NE(trace.find("preset loaded 2024-059 08:00:00.250"), std::string::npos) << trace;
}

TEST_F(SimulatedBoard, CompareEventSeenAndClearedThroughTheLibrary) {
    std::int32_t cmp[7] = {0, 0, 0, 0, 0, 0, 0};  // whole seconds
    ASSERT_EQ(write_time_cmp_reg(3, 4, cmp), 0);
    EXPECT_EQ(read_hw_stat_reg_bitfield(3), 0);
    sim_->virtual_clock()->advance(kUsPerSecond);
    EXPECT_EQ(read_hw_stat_reg_bitfield(3), 1);
    EXPECT_EQ(write_hw_ctl_reg_bitfield(1, 1), 0);
    EXPECT_EQ(read_hw_stat_reg_bitfield(3), 0);
    const std::string trace = drain(tsv_);
    EXPECT_NE(trace.find("mask 4 (every second"), std::string::npos) << trace;
    EXPECT_NE(trace.find("compare event raised at 2026-100 12:34:57.000000"), std::string::npos);
    EXPECT_NE(trace.find("compare event cleared"), std::string::npos);
}

}  // namespace
