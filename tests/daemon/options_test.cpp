// korvicd's command line: what each option takes, and one clear line with status 2 for
// everything it refuses.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "options.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

korvicd::ParsedOptions parse(std::vector<std::string> args) {
    args.insert(args.begin(), "korvicd");
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    return korvicd::parse_options(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, Defaults) {
    const auto p = parse({"--sock", "/run/chrony.korvicd.sock"});
    ASSERT_TRUE(p.options) << p.text;
    const korvicd::Options &o = *p.options;
    EXPECT_EQ(o.rate_hz, 1.0);
    EXPECT_EQ(o.readings, 5);
    EXPECT_EQ(o.max_bracket, 200us);
    EXPECT_EQ(o.offset, 0ns);
    EXPECT_EQ(o.max_offset, std::nullopt);
    EXPECT_EQ(o.sock, "/run/chrony.korvicd.sock");
    EXPECT_EQ(o.shm_unit, std::nullopt);
    EXPECT_EQ(o.shm_perm, std::nullopt);
    EXPECT_EQ(o.max_rate_ppm, 500.0);
    EXPECT_EQ(o.max_step, 1s);
    EXPECT_EQ(o.step_holdoff, 60s);
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.stats, std::nullopt);
    EXPECT_FALSE(o.once);
    EXPECT_EQ(o.config, "korvic_cfg.dat");
    EXPECT_EQ(o.lock_wait, 100ms);
    EXPECT_EQ(o.metrics_file, std::nullopt);
    const auto m =
        parse({"--sock", "s", "--metrics-file", "/var/lib/prometheus/node-exporter/k.prom"});
    ASSERT_TRUE(m.options) << m.text;
    EXPECT_EQ(m.options->metrics_file, "/var/lib/prometheus/node-exporter/k.prom");
    EXPECT_EQ(o.leap_file, std::nullopt);
    EXPECT_TRUE(o.require_status.empty());
}

TEST(Options, EveryOptionTaken) {
    const auto p = parse({"--rate=10",   "--readings",
                          "9",           "--max-bracket",
                          "50us",        "--offset",
                          "-1.5ms",      "--max-offset",
                          "2s",          "--shm",
                          "3",           "--shm-perm",
                          "0644",        "--max-rate-error",
                          "100",         "--max-step",
                          "250ms",       "--step-holdoff",
                          "5min",        "-v",
                          "--stats",     "1min",
                          "--config",    "/etc/korvic/korvic_cfg.dat",
                          "--lock-wait", "0",
                          "--sock",      "s"});
    ASSERT_TRUE(p.options) << p.text;
    const korvicd::Options &o = *p.options;
    EXPECT_EQ(o.rate_hz, 10.0);
    EXPECT_EQ(o.readings, 9);
    EXPECT_EQ(o.max_bracket, 50us);
    EXPECT_EQ(o.offset, -1500us);
    EXPECT_EQ(o.max_offset, 2s);
    EXPECT_EQ(o.shm_unit, 3);
    EXPECT_EQ(o.shm_perm, 0644);
    EXPECT_EQ(o.max_rate_ppm, 100.0);
    EXPECT_EQ(o.max_step, 250ms);
    EXPECT_EQ(o.step_holdoff, 300s);
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.stats, 60s);
    EXPECT_EQ(o.config, "/etc/korvic/korvic_cfg.dat");
    EXPECT_EQ(o.lock_wait, 0s);
    EXPECT_EQ(o.sock, "s");
    EXPECT_EQ(parse({"--offset", "+250ms", "--once"}).options->offset, 250ms);
    EXPECT_EQ(parse({"--offset", "-24h", "--once"}).options->offset, -24h);
    EXPECT_EQ(parse({"--stats", "24h", "--once"}).options->stats, 24h);
    // The leap second table: a path, or none; status bits kept in bit order, once each.
    EXPECT_EQ(parse({"--once", "--leap-file", "/etc/leap.list"}).options->leap_file,
              "/etc/leap.list");
    EXPECT_EQ(parse({"--once", "--leap-file=none"}).options->leap_file, "");
    const auto r = parse({"--sock", "s", "--require-status", "13=0", "--require-status=8=1",
                          "--require-status", "8=1"});
    ASSERT_TRUE(r.options) << r.text;
    EXPECT_EQ(r.options->require_status,
              (std::vector<korvicd::StatusRequirement>{{8, true}, {13, false}}));
}

TEST(Options, HelpAndVersionGoToStandardOutputWithStatusZero) {
    auto p = parse({"--help"});
    EXPECT_FALSE(p.options);
    EXPECT_EQ(p.status, 0);
    for (const char *o :
         {"--rate HZ", "--readings N", "--max-bracket DURATION", "--offset", "--max-offset",
          "--sock PATH", "--shm UNIT", "--shm-perm MODE", "--max-rate-error PPM", "--max-step",
          "--step-holdoff DURATION", "-v,--verbose", "--stats", "--once", "--config PATH",
          "--lock-wait DURATION", "--leap-file PATH", "--require-status BIT=VALUE"})
        EXPECT_THAT(p.text, HasSubstr(o));
    p = parse({"--version"});
    EXPECT_EQ(p.status, 0);
    EXPECT_THAT(p.text, ::testing::StartsWith("korvicd "));
}

// The configuration: --config, else $KORVIC_CONFIG (korvic_sim sets it), else the working
// directory's korvic_cfg.dat; an empty variable counts as none.
TEST(Options, ConfigFromOptionThenEnvironmentThenWorkingDirectory) {
    const char *inherited = std::getenv("KORVIC_CONFIG");
    const std::string saved = inherited != nullptr ? inherited : "";
    const struct {
        const char *env;  // nullptr: unset
        std::vector<std::string> args;
        const char *config;
    } cases[] = {
        {nullptr, {"--once"}, "korvic_cfg.dat"},
        {"", {"--once"}, "korvic_cfg.dat"},
        {"/etc/korvic/korvic_cfg.dat", {"--once"}, "/etc/korvic/korvic_cfg.dat"},
        {"/etc/korvic/korvic_cfg.dat", {"--once", "--config", "mine.cfg"}, "mine.cfg"},
    };
    for (const auto &c : cases) {
        if (c.env != nullptr)
            setenv("KORVIC_CONFIG", c.env, 1);
        else
            unsetenv("KORVIC_CONFIG");
        const auto p = parse(c.args);
        ASSERT_TRUE(p.options) << p.text;
        EXPECT_EQ(p.options->config, c.config) << (c.env != nullptr ? c.env : "(unset)");
    }
    if (inherited != nullptr)
        setenv("KORVIC_CONFIG", saved.c_str(), 1);
    else
        unsetenv("KORVIC_CONFIG");
}

struct Refused {
    std::vector<std::string> args;
    std::string message;
};

TEST(Options, RefusedWithOneLineAndStatusTwo) {
    const std::string long_path(108, 'x');
    const Refused cases[] = {
        {{}, "korvicd: nothing to feed: give --sock PATH, --shm UNIT (or both), or --once\n"},
        {{"--once", "--sock", "s"}, "--once prints one sample and feeds nothing"},
        {{"--sock", "s", "--rate", "0"}, "korvicd: --rate \"0\": outside 0.001 to 1000\n"},
        {{"--sock", "s", "--rate", "1001"}, "--rate \"1001\": outside"},
        {{"--sock", "s", "--rate", "fast"}, "--rate \"fast\": not a number"},
        {{"--sock", "s", "--rate", "1Hz"}, "--rate \"1Hz\": not a number"},
        {{"--sock", "s", "--readings", "0"}, "--readings \"0\": outside 1 to 100"},
        {{"--sock", "s", "--readings", "2.5"}, "--readings \"2.5\": not a whole number"},
        {{"--sock", "s", "--readings", "99999999999"}, "--readings \"99999999999\": outside"},
        {{"--sock", "s", "--max-bracket", "200"}, "--max-bracket \"200\": not a duration"},
        {{"--sock", "s", "--max-bracket", "0"}, "--max-bracket \"0\": must be more than 0"},
        {{"--sock", "s", "--max-bracket", "-1us"}, "--max-bracket \"-1us\": not a duration"},
        {{"--sock", "s", "--offset", "1"}, "--offset \"1\": not a duration"},
        {{"--sock", "s", "--max-offset", "0s"}, "--max-offset \"0s\": must be more than 0"},
        {{"--sock", "s", "--max-step", "1 s"}, "--max-step \"1 s\": not a duration"},
        {{"--sock", "s", "--stats", "0"}, "--stats \"0\": must be more than 0"},
        {{"--sock", "s", "--step-holdoff", "0s"}, "--step-holdoff \"0s\": must be more than 0"},
        {{"--sock", "s", "--step-holdoff", "25h"}, "--step-holdoff \"25h\": more than 24h"},
        {{"--sock", ""}, "--sock \"\": an empty path"},
        {{"--sock", long_path}, "longer than the 107 characters a socket path may have"},
        {{"--shm", "256"}, "--shm \"256\": outside 0 to 255"},
        {{"--shm", "-1"}, "--shm \"-1\": outside 0 to 255"},
        {{"--shm", "two"}, "--shm \"two\": not a whole number"},
        {{"--shm", "2", "--shm-perm", "0800"}, "--shm-perm \"0800\": not an octal number"},
        {{"--shm", "2", "--shm-perm", "1777"}, "--shm-perm \"1777\": outside 0 to 777"},
        {{"--sock", "s", "--max-rate-error", "0"}, "--max-rate-error \"0\": outside 1 to"},
        {{"--sock", "s", "--config", ""}, "--config \"\": an empty path"},
        {{"--sock", "s", "--lock-wait", "1001ms"}, "--lock-wait \"1001ms\": more than 1s"},
        {{"--sock", "s", "--lock-wait", "-1ms"}, "--lock-wait \"-1ms\": not a duration"},
        {{"--sock", "s", "--metrics-file", ""}, "--metrics-file \"\": not a file name"},
        {{"--sock", "s", "--metrics-file", "/var/lib/x/"}, "--metrics-file \"/var/lib/x/\": not a"},
        {{"--once", "--metrics-file", "k.prom"},
         "feeds nothing: not with --sock, --shm or --metrics-file"},
        {{"--sock", "s", "--leap-file", ""}, "--leap-file \"\": an empty path (none: no table)"},
        {{"--sock", "s", "--require-status", "9=1"},
         "--require-status \"9=1\": bit 9 is the compare event flag"},
        {{"--sock", "s", "--require-status", "11=1"},
         "--require-status \"11=1\": bit 11 is not a field of the hardware status word"},
        {{"--sock", "s", "--require-status", "on"}, "--require-status \"on\": not BIT=VALUE"},
        {{"--sock", "s", "--require-status", "8=1", "--require-status", "8=0"},
         "--require-status \"8=0\": bit 8 is required to read 1 and 0"},
        {{"--sock", "s", "--require-status"}, "--require-status needs a value"},
        // What the option parser refuses, in our words.
        {{"--sock", "s", "--frobnicate"},
         "korvicd: unknown option \"--frobnicate\" (korvicd --help lists the options)\n"},
        {{"--sock"}, "korvicd: --sock needs a value (PATH) (korvicd --help lists the options)\n"},
        {{"--sock", "s", "extra"}, "korvicd: unexpected argument \"extra\" (korvicd --help"},
        {{"--once", "a", "b"}, "korvicd: unexpected arguments \"a\" \"b\" (korvicd --help"},
        {{"--once=maybe"}, "korvicd: --once takes no value"},
        {{"--once", "--verbose=1"}, "korvicd: --verbose takes no value"},
        {{"--sock", "a", "--sock", "b"}, "korvicd: --sock is given 2 times: give it once"},
        {{"-v", "--shm", "1", "--shm", "1"}, "korvicd: --shm is given 2 times: give it once"},
        // Durations that no sum of korvicd's could carry.
        {{"--once", "--offset", "2562047h"}, "--offset \"2562047h\": more than 24h either way"},
        {{"--once", "--offset", "-1441min"}, "--offset \"-1441min\": more than 24h either way"},
        {{"--sock", "s", "--stats", "25h"}, "--stats \"25h\": more than 24h"},
        {{"--sock", "s", "--max-offset", "9223372036854775807ns"}, "more than 24h"},
        {{"--sock", "s", "--max-bracket", "1.5d"}, "--max-bracket \"1.5d\": not a duration"},
        {{"--sock", "s", "--max-step", "2562048h"},
         "--max-step \"2562048h\": beyond the 64-bit nanosecond count"},
        // What was typed is shown on one line, escaped, and cut when long.
        {{"--sock", "s", "--rate", "1\n"}, "--rate \"1\\n\": not a number"},
        {{"--sock", "s", "--max-step", "\x1b]0;t\a"}, "--max-step \"\\e]0;t\\a\": not a duration"},
        {{"--sock", "s", std::string(120000, 'x')},
         "unexpected argument \"" + std::string(36, 'x') + "..." + std::string(36, 'x') +
             "\" (korvicd --help"},
    };
    for (const Refused &c : cases) {
        const auto p = parse(c.args);
        EXPECT_FALSE(p.options) << ::testing::PrintToString(c.args);
        EXPECT_EQ(p.status, 2) << ::testing::PrintToString(c.args);
        EXPECT_THAT(p.text, HasSubstr(c.message));
        EXPECT_THAT(p.text, ::testing::StartsWith("korvicd: "));
        EXPECT_EQ(std::count(p.text.begin(), p.text.end(), '\n'), 1) << p.text;
    }
}

}  // namespace
