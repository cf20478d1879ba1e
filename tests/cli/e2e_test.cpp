// End to end: korvic on the simulated board, through the real launcher. One test per point
// the tool must show; the trace (--trace-tsv) shows what reached the board and the bridge.
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "korvic/board.hpp"
#include "korvic/korvic_api.h"

namespace {

namespace fs = std::filesystem;
using korvic::parse_time;

struct Result {
    int status = -1;
    std::string out, err;
};

struct Access {  // one line of a --trace-tsv file
    std::string device;
    char dir;
    std::uint32_t offset;
    std::string note;
    long pid;
};

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// seq, device, dir, offset, name, value, note, pid.
std::vector<Access> read_trace(const fs::path &p) {
    std::vector<Access> out;
    for (const std::string &line : lines_of(slurp(p))) {
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');)
            f.push_back(field);
        if (line[0] != '#' && f.size() == 8)
            out.push_back({f[1], f[2][0], static_cast<std::uint32_t>(std::stoul(f[3], nullptr, 16)),
                           f[6], std::stol(f[7])});
    }
    return out;
}

// The text after "KEY": in one JSON line (a number, or a string with its quotes).
std::string json_value(const std::string &line, const std::string &key) {
    const auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos)
        return "";
    const std::string rest = line.substr(at + key.size() + 3);
    return rest.substr(0, rest.find_first_of(",}"));
}

long long json_integer(const std::string &line, const std::string &key) {
    const std::string v = json_value(line, key);
    return v.empty() ? -1 : std::stoll(v);
}

// {sim} and {korvic} in a command line stand for the two programs.
std::string expand(std::string cmd) {
    for (const auto &[name, value] :
         {std::pair<std::string, std::string>{"{sim}", KORVIC_SIM_BIN}, {"{korvic}", KORVIC_BIN}})
        for (auto at = cmd.find(name); at != std::string::npos; at = cmd.find(name, at))
            cmd.replace(at, name.size(), value);
    return cmd;
}

// Waiting by polling: the simulated register device under a name beside which no interrupt
// node is found, in a configuration file of its own that the shell exports.
constexpr const char *kPollingSim = "--mem-path /dev/korvic_sim/registers ";
constexpr const char *kPollingShell = "export KORVIC_CONFIG=polling.cfg; ";

class CliE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/korvic_cli_e2e.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::ofstream(dir / "korvic_cfg.dat")
            << "MEM_PATH=/dev/korvic_sim/board\nINT_PATH=/dev/korvic_sim/bridge\nENABLE_INT\n";
        std::ofstream(dir / "polling.cfg")
            << "MEM_PATH=/dev/korvic_sim/registers\nINT_PATH=/dev/korvic_sim/bridge\nENABLE_INT\n";
    }
    void TearDown() override { fs::remove_all(dir); }

    Result run(const std::string &cmd) {
        const std::string shell =
            "cd '" + dir.string() + "' && " + expand(cmd) + " </dev/null >stdout.txt 2>stderr.txt";
        const int rc = std::system(shell.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc), slurp(dir / "stdout.txt"),
                slurp(dir / "stderr.txt")};
    }

    // Starts korvic under the launcher with a trace, and waits until the trace shows its
    // first board access (a minute as a way out): from then on its signal handlers are in
    // place, and for `events` its watcher has read the register once. Returns korvic's pid.
    // `shell` runs in the starting shell first (trap '' INT).
    long start(const std::string &sim_options, const std::string &args,
               const std::string &shell = "true") {
        const std::string cmd = "cd '" + dir.string() + "' && " + shell + " && exec " +
                                KORVIC_SIM_BIN + " " + sim_options + " --trace-tsv trace.tsv -- " +
                                KORVIC_BIN + " " + args + " 2>stderr.txt";
        fs::remove(dir / "trace.tsv");
        pipe = popen(cmd.c_str(), "r");
        for (int i = 0; pipe != nullptr && i < 6000; ++i) {
            const std::vector<Access> t = read_trace(dir / "trace.tsv");
            const auto a = std::find_if(t.begin(), t.end(),
                                        [](const Access &x) { return x.device == "board"; });
            if (a != t.end())
                return a->pid;
            std::this_thread::sleep_for(std::chrono::milliseconds{10});
        }
        return -1;
    }
    std::string next_line() {
        char line[256];
        if (std::fgets(line, sizeof line, pipe) == nullptr)
            return "";
        std::string s = line;
        return s.substr(0, s.find('\n'));
    }
    int finish() {  // the wait status of the started command, its output read to the end
        while (!next_line().empty()) {
        }
        const int status = pclose(pipe);
        pipe = nullptr;
        return status;
    }

    fs::path dir;
    FILE *pipe = nullptr;
};

// The board's instant: the start of the virtual clock, moved one step by each of the three
// strobe writes; in either format, the global options before or after the subcommand, the
// configuration from --config or $KORVIC_CONFIG.
TEST_F(CliE2E, TimePrintsTheBoardsInstant) {
    fs::create_directory(dir / "etc");
    fs::copy(dir / "korvic_cfg.dat", dir / "etc" / "board.cfg");
    const std::string iso = "2026-03-28T12:34:56.789123Z\n", unix_seconds = "1774701296.789123\n";
    const std::string cases[][2] = {
        {"{korvic} time", iso},
        {"{korvic} --format unix time", unix_seconds},
        {"{korvic} time --format unix", unix_seconds},
        {"{korvic} time --json",
         "{\"time\":\"2026-03-28T12:34:56.789123Z\",\"time_unix\":1774701296.789123}\n"},
        {"{korvic} time --config etc/board.cfg", iso},
        {"env KORVIC_CONFIG=etc/board.cfg {korvic} time", iso},
        {"env KORVIC_CONFIG=missing.cfg {korvic} --config etc/board.cfg time", iso},
    };
    for (const auto &[args, out] : cases) {
        const Result r =
            run("sh -c '{sim} --virtual --start 2026-03-28T12:34:56.789120 --step 1us -- " + args +
                "'");
        EXPECT_EQ(r.status, 0) << args << r.err;
        EXPECT_EQ(r.out, out) << args;
    }
    // The last second of a leap year: day 366 comes back as December 31st, and the next
    // instant as the new year.
    const std::string leap[][2] = {
        {"2024-12-31T23:59:59.5", "2024-12-31T23:59:59.500003Z\n"},
        {"2024-12-31T23:59:59.999999", "2025-01-01T00:00:00.000002Z\n"},
        {"2024-02-29T12:00:00", "2024-02-29T12:00:00.000003Z\n"},
    };
    for (const auto &[start, out] : leap) {
        const Result r = run("{sim} --virtual --start " + start + " --step 1us -- {korvic} time");
        EXPECT_EQ(r.status, 0) << start << r.err;
        EXPECT_EQ(r.out, out) << start;
    }
}

// Every command's --json output is one JSON object per line: python3 -m json.tool reads it.
TEST_F(CliE2E, JsonLinesParse) {
    for (const char *command :
         {"time", "offset --count 3 --interval 0", "status", "regs", "preset 2027-001T00:00:00.5Z",
          "compare @1774701296.25 --every second", "compare off", "events --count 2",
          "timer stop"}) {
        const Result r = run(std::string("{sim} --virtual --start 2026-03-28T12:34:56 --step 10us "
                                         "--ext-period 1ms -- {korvic} --json ") +
                             command + " >out.json && python3 -m json.tool --json-lines out.json");
        EXPECT_EQ(r.status, 0) << command << ": " << r.err;
        EXPECT_NE(slurp(dir / "out.json").rfind("{", 0), std::string::npos) << command;
    }
}

// Usage errors: status 2, one line naming the option or argument and the value, and no
// access at all in the trace (board or bridge).
TEST_F(CliE2E, UsageErrorsExitTwoAndTouchNothing) {
    std::ofstream(dir / "off.cfg") << slurp(dir / "korvic_cfg.dat") << "SEC_OFF=60\n";
    const std::string cases[][2] = {
        // What the option parser refuses, in our words.
        {"",
         "a subcommand is needed: time, offset, status, regs, preset, compare, "
         "wait-compare, events or timer (see korvic --help)"},
        {"frobnicate", "unknown subcommand \"frobnicate\" (see korvic --help)"},
        {"--frobnicate time", "unknown option \"--frobnicate\" (see korvic --help)"},
        {"time --frobnicate=3", "unknown option \"--frobnicate\""},
        {"time --count 3", "time has no option \"--count\""},
        {"--count 3 offset", "--count is an option of offset: give it after offset"},
        {"time now", "unexpected argument \"now\" (see korvic --help)"},
        {"time status", "unexpected argument \"status\""},
        {"preset", "preset needs TIME (see korvic --help)"},
        {"timer", "timer needs ACTION"},
        {"--config a.cfg --config b.cfg time", "--config is given 2 times: give it once"},
        {"offset --count 1 --count 2", "--count is given 2 times: give it once"},
        {"time --json=yes", "--json takes no value"},
        {"--version=2", "--version takes no value"},
        {"time --config=", "--config needs a value (PATH)"},
        {"--config \"\" time", "--config \"\": an empty path"},
        {"preset 2026-02-29T00:00:00Z",
         "preset: time \"2026-02-29T00:00:00Z\": February 2026 has no day 29"},
        {"preset 2026-000T00:00:00Z", "preset: time \"2026-000T00:00:00Z\": 2026 has days 001"},
        {"preset 2100-01-01T00:00:00Z", "preset: 2100-01-01T00:00:00.000000Z is outside"},
        {"--config off.cfg preset 2099-12-31T23:59:59Z",
         "preset: 2099-12-31T23:59:59.000000Z is 2100-01-01T00:00:59.000000Z in board time"},
        {"compare @5", "compare @5: --every year|day|hour|minute|second|millisecond is required"},
        {"compare @5 --every week", "compare: --every \"week\": not one of"},
        {"compare 12:00 --every second", "compare: time \"12:00\": not a time"},
        {"offset --interval 5", "--interval: duration \"5\": no unit"},
        {"offset --interval 1fortnight", "--interval: duration \"1fortnight\": unknown unit"},
        {"events --timeout 999999999h", "--timeout: duration \"999999999h\": beyond"},
        {"events --count -1", "--count: \"-1\": not a whole number 0 or more"},
        {"events --count 99999999999999999999", "--count: \"99999999999999999999\": too large"},
        {"wait-compare --timeout", "--timeout needs a value (DURATION)"},
        {"time --config", "--config needs a value (PATH)"},
        {"--format hex time", "--format: \"hex\": not iso or unix"},
        {"timer pause", "ACTION: \"pause\": not start or stop"},
        {"offset --interval 25h", "--interval: duration \"25h\": more than 24h between readings"},
        {"offset --interval 2562047h", "--interval: duration \"2562047h\": more than 24h"},
        {"--lock-wait 11s time", "--lock-wait: duration \"11s\": more than 10s"},
        // What was typed is shown on one line, escaped, and cut when long.
        {R"~(preset "$(printf '2026-01-01\nT00:00:00Z')")~",
         R"~(preset: time "2026-01-01\nT00:00:00Z": not a time)~"},
        {R"~(preset "$(printf '\033]0;title\007')")~",
         R"~(preset: time "\e]0;title\a": not a time)~"},
        {R"~(preset "$(head -c 120000 /dev/zero | tr '\0' 7)")~",
         "preset: time \"" + std::string(36, '7') + "..." + std::string(36, '7') +
             "\": not a time"},
        {R"~(time a "$(printf 'b\nc')")~", R"~(unexpected arguments "a" "b\nc")~"},
        {R"~(timer "$(printf 'x\ty')")~", R"~(ACTION: "x\ty": not start or stop)~"},
    };
    for (const auto &[args, says] : cases) {
        const Result r = run("{sim} --trace-tsv trace.tsv -- {korvic} " + args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.err.rfind("korvic: " + says, 0), 0u) << args << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(read_trace(dir / "trace.tsv").empty()) << args;
    }
}

// --help everywhere and --version (a JSON line with --json): standard output, status 0.
TEST_F(CliE2E, HelpAndVersion) {
    for (const char *command : {"", "time", "offset", "status", "regs", "preset", "compare",
                                "wait-compare", "events", "timer"}) {
        const Result r = run(std::string("{korvic} ") + command + " --help");
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find(std::string("Usage: korvic ") + (*command ? command : "[OPTIONS]")),
                  std::string::npos)
            << r.out;
    }
    const std::string version = std::to_string(KORVIC_API_VERSION_MAJOR) + "." +
                                std::to_string(KORVIC_API_VERSION_MINOR) + "." +
                                std::to_string(KORVIC_API_VERSION_PATCH);
    const std::string json = "{\"program\":\"korvic\",\"version\":\"" + version + "\"}\n";
    const std::string versions[][2] = {
        {"--version", "korvic " + version + "\n"},
        {"--json --version", json},
        {"--version --json", json},
        {"time --version --json", json},  // with a subcommand, the version all the same
    };
    for (const auto &[args, out] : versions) {
        const Result r = run("{korvic} " + args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, out) << args;
    }
}

// Board and system failures: status 1, one line naming what failed and the path.
TEST_F(CliE2E, FailuresExitOneNamingWhatFailed) {
    std::ofstream(dir / "nodevice.cfg") << "MEM_PATH=/nonexistent/board\n";
    std::ofstream(dir / "nonode.cfg")
        << "MEM_PATH=/dev/korvic_sim/board\nUIO_PATH=/dev/korvic_sim/uio2\n";
    const char *const cases[][2] = {
        {"{korvic} time --config missing.cfg",
         "korvic: read configuration: No such file or directory [missing.cfg]\n"},
        {"{korvic} time --config nodevice.cfg",
         "korvic: open register device: No such file or directory [/nonexistent/board]\n"},
        {R"~({korvic} time --config "$(printf 'a\nb')")~",
         R"~(korvic: read configuration: No such file or directory [a\nb])~"
         "\n"},
        {"{sim} -- sh -c '{korvic} time >/dev/full'",
         "korvic: standard output: No space left on device\n"},
        {"{sim} --virtual -- {korvic} events --count 2 --timeout 50ms",
         "korvic: events: --timeout 50ms reached after 0 of 2 events\n"},
        {"{sim} --virtual -- {korvic} wait-compare --timeout 10ms",
         "korvic: wait-compare: --timeout 10ms reached after 0 of 1 compare events\n"},
        {"{sim} --virtual --mem-path /dev/korvic_sim/registers -- {korvic} --config polling.cfg "
         "events --count 2 --timeout 50ms",
         "korvic: events: --timeout 50ms reached after 0 of 2 events\n"},
        {"{sim} --virtual --mem-path /dev/korvic_sim/registers -- {korvic} --config polling.cfg "
         "wait-compare --timeout 10ms",
         "korvic: wait-compare: --timeout 10ms reached after 0 of 1 compare events\n"},
        // An interrupt node that is named must be there: board 2 has none in a run of one.
        {"{sim} -- {korvic} --config nonode.cfg time",
         "korvic: open interrupt node (UIO_PATH=): No such file or directory "
         "[/dev/korvic_sim/uio2]\n"},
        // The board lock held by another open of the board all along.
        {"{sim} -- sh -c 'exec 9<>/dev/korvic_sim/board && flock -n 9 && {korvic} --lock-wait "
         "20ms time'",
         "korvic: board lock: /dev/korvic_sim/board held by another process for over 20 ms: "
         "Device or resource busy\n"},
    };
    for (const auto &[args, says] : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, says) << args;
    }
    // A timeout with no count to reach is the end of the job.
    EXPECT_EQ(run("{sim} --virtual -- {korvic} events --timeout 10ms").status, 0);
}

// status and regs decode what the board holds and only read; a timer stopped by one
// program shows in the next one's status.
TEST_F(CliE2E, StatusAndRegsDecodeAndOnlyRead) {
    const std::string sim =
        "{sim} --virtual --start 2026-03-28T12:34:56 --step 1us --trace-tsv "
        "trace.tsv -- ";
    const auto only_reads = [this] {
        const std::vector<Access> t = read_trace(dir / "trace.tsv");
        return std::none_of(t.begin(), t.end(),
                            [](const Access &a) { return a.device == "board" && a.dir == 'W'; });
    };
    Result r = run(sim + "{korvic} status");
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u + 1 + 5 + 1 + 11 + 1 + 6) << r.out << r.err;
    EXPECT_EQ(lines[0], "timer running");
    EXPECT_EQ(lines[1], "compare event flag clear");
    EXPECT_EQ(lines[6], "  selector 3  bit 9       0  compare event");
    EXPECT_EQ(lines[22], "  selector 1  bit 25      0  compare event clear");
    EXPECT_TRUE(only_reads());

    r = run(sim + "sh -c '{korvic} timer stop && {korvic} status'");
    lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 1u + 27) << r.out << r.err;
    EXPECT_EQ(lines[1], "timer stopped");
    EXPECT_EQ(lines[14], "  selector 4  bit 27      1  timer stop");

    r = run(sim + "{korvic} regs");
    EXPECT_EQ(lines_of(r.out).size(), korvic::register_map().size()) << r.out;
    for (const char *line :
         {"0x118  configuration     0x00000000  timer stop 0, preset load 0\n",
          "  latched 2026-03-28T12:34:56.000000Z\n",
          "0x138  time compare      0x00000000 0x000000f0  day 000 (from 0) 00:00:00.000000, "
          "mask 15 (off)\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_TRUE(only_reads());
}

// preset TIME loads it to the millisecond, the board's finest preset unit, and says so.
TEST_F(CliE2E, PresetLoadsTheTimeToTheMillisecond) {
    const Result r =
        run("{sim} --virtual --trace-tsv trace.tsv -- {korvic} preset "
            "2027-001T23:59:58.123456");
    EXPECT_EQ(r.out, "preset 2027-01-01T23:59:58.123000Z\n") << r.err;
    const std::vector<Access> t = read_trace(dir / "trace.tsv");
    EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](const Access &a) {
        return a.note.find("preset loaded 2027-000 23:59:58.123") != std::string::npos;
    }));
}

// preset now on a board 3 s ahead of the host: the residual read back is printed and under
// a millisecond, and the next program's reading agrees.
TEST_F(CliE2E, PresetNowSetsABoardThreeSecondsAheadToTheSystemClock) {
    const Result r =
        run("{sim} --offset +3s -- sh -c '{korvic} --json offset && {korvic} --json "
            "preset now && {korvic} --json offset'");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out << r.err;
    // A reading is the board's offset within half its bracket (a busy machine may widen it).
    const auto off_by = [](const std::string &line, long long ns) {
        return std::llabs(json_integer(line, "offset_ns") - ns) -
               json_integer(line, "bracket_ns") / 2;
    };
    EXPECT_LT(off_by(lines[0], 3'000'000'000), 1'000'000) << lines[0];
    EXPECT_NE(json_value(lines[1], "preset").find(".000000Z\""), std::string::npos) << lines[1];
    EXPECT_LT(std::llabs(json_integer(lines[1], "residual_ns")), 1'000'000) << lines[1];
    EXPECT_GT(json_integer(lines[1], "write_cost_ns"), 0) << lines[1];
    EXPECT_LT(off_by(lines[2], 0), 1'000'000) << lines[2];
}

// preset now on a board that does not run, its timer stopped or its time standing still
// with the timer bit clear: status 1, one line that says so, and nothing written by it but
// the snapshot strobes of its readings.
TEST_F(CliE2E, PresetNowOnABoardThatDoesNotRunFails) {
    const char *const cases[][2] = {
        {"{sim} --trace-tsv trace.tsv -- sh -c '{korvic} timer stop >/dev/null && {korvic} "
         "preset now'",
         "korvic: preset now: the board does not run: its timer is stopped (korvic timer start "
         "runs it); nothing was preset\n"},
        {"{sim} --stop-at 0s --trace-tsv trace.tsv -- {korvic} preset now",
         "korvic: preset now: the board does not run: its time stands still; nothing was "
         "preset\n"},
    };
    for (const auto &[args, says] : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_EQ(r.err, says) << args;
        EXPECT_EQ(r.out, "") << args;
        const std::vector<Access> t = read_trace(dir / "trace.tsv");
        ASSERT_FALSE(t.empty()) << args;
        EXPECT_TRUE(std::none_of(t.begin(), t.end(), [&t](const Access &a) {
            return a.pid == t.back().pid && a.device == "board" && a.dir == 'W' && a.offset != 0xFC;
        })) << args;
    }
}

// compare, then wait-compare, two commands of one script on one board: an event every
// second of board time, each printed once. On the interrupt node the wait moves the virtual
// clock to the half second, the flag's load comes 1 ms later and the time 3 strobes (3 ms)
// after that; polling, the load that crossed the half second sees it.
TEST_F(CliE2E, CompareThenWaitCompareGiveALineASecond) {
    const struct {
        const char *sim_options, *shell, *read_at;
    } modes[] = {
        {"", "", "2026-03-28T12:00:00.504Z"},
        {kPollingSim, kPollingShell, "2026-03-28T12:00:00.503Z"},
    };
    for (const auto &[sim_options, shell, read_at] : modes) {
        const Result r =
            run(std::string("{sim} --virtual --start 2026-03-28T12:00:00 --step 1ms ") +
                sim_options + " -- sh -c '" + shell +
                "{korvic} compare 2026-03-28T12:00:00.5Z --every second && "
                "{korvic} wait-compare --count 4 --timeout 60s'");
        const std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 5u) << r.out << r.err;
        EXPECT_EQ(lines[0], "compare 2026-03-28T12:00:00.500000Z every second");
        for (std::size_t i = 1; i < lines.size(); ++i)
            EXPECT_EQ(lines[i],
                      std::to_string(i) + " " +
                          korvic::format_time(parse_time(read_at) + std::chrono::seconds(i - 1)))
                << sim_options;
    }
}

// events: one line per signal, each sent once the line of the one before is out, numbered
// from 1, nothing lost or doubled, for 1000 signals.
TEST_F(CliE2E, EventsPrintsOneLinePerSignal) {
    constexpr int kSignals = 1000;
    const long pid = start("--ext-signal USR1", "events --count " + std::to_string(kSignals));
    ASSERT_GT(pid, 0);
    korvic::utc_time last{};
    for (int i = 1; i <= kSignals; ++i) {
        ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGUSR1), 0);
        const std::string line = next_line(), number = std::to_string(i) + " ";
        ASSERT_EQ(line.rfind(number, 0), 0u) << line;
        const korvic::utc_time t = parse_time(line.substr(number.size()));
        EXPECT_GT(t, last) << line;
        last = t;
    }
    EXPECT_EQ(next_line(), "") << "more lines than signals";
    EXPECT_EQ(finish(), 0);
}

// At 1 kHz of board time nothing is lost: a 1 ms event train on a virtual clock (100 us per
// access) is printed event by event, each 1 ms after the one before.
TEST_F(CliE2E, EventsFollowAKilohertzTrain) {
    const Result r =
        run("{sim} --virtual --start 2026-03-28T12:00:00 --step 100us --ext-period "
            "1ms -- {korvic} --format unix events --count 500");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 500u) << r.err;
    const auto time_at = [&lines](std::size_t i) {
        return parse_time("@" + lines[i].substr(lines[i].find(' ') + 1));
    };
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(std::to_string(i + 1) + " ", 0), 0u) << lines[i];
        EXPECT_EQ(time_at(i) - time_at(i - 1), std::chrono::milliseconds{1}) << lines[i];
    }
}

// An events waiter and a wait-compare waiter on one board at once each get every one of
// their own events (the train's 250 ms steps without a gap: a host that stalls a process
// for over a period loses an event in either mode, and stalls of 100 ms happen on a loaded
// machine; the compare, once a second, soon after its half second), on the interrupt node and by
// polling. On the node they sleep: the board is read a few hundred times in the run, where polling
// reads it tens of thousands of times a second.
TEST_F(CliE2E, AnEventsAndAWaitCompareWaiterEachGetAllTheirOwn) {
    const struct {
        const char *name, *sim_options, *shell;
        bool node;
    } modes[] = {
        {"node", "--trace-tsv trace.tsv ", "", true},
        {"polling", kPollingSim, kPollingShell, false},
    };
    const auto times_in = [this](const char *file) {
        std::vector<korvic::utc_time> times;
        for (const std::string &line : lines_of(slurp(dir / file)))
            times.push_back(parse_time("@" + line.substr(line.find(' ') + 1)));
        return times;
    };
    for (const auto &m : modes) {
        const Result r = run(
            std::string("{sim} --ext-period 250ms ") + m.sim_options + "-- sh -c '" + m.shell +
            "{korvic} compare 2026-01-01T00:00:00.5Z --every second >/dev/null && "
            "{ {korvic} --format unix events --count 10 --timeout 20s >events.txt & "
            "{korvic} --format unix wait-compare --count 2 --timeout 20s >compare.txt; wait; }'");
        EXPECT_EQ(r.status, 0) << m.name << ": " << r.err;
        EXPECT_EQ(r.err, "") << m.name;
        const std::vector<korvic::utc_time> events = times_in("events.txt");
        ASSERT_EQ(events.size(), 10u) << m.name;
        for (std::size_t i = 1; i < events.size(); ++i)
            EXPECT_EQ(events[i] - events[i - 1], std::chrono::milliseconds{250}) << m.name << i;
        const std::vector<korvic::utc_time> compares = times_in("compare.txt");
        ASSERT_EQ(compares.size(), 2u) << m.name;
        for (const korvic::utc_time t : compares) {
            const auto fraction = t - std::chrono::floor<std::chrono::seconds>(t);
            EXPECT_GE(fraction, std::chrono::milliseconds{500}) << m.name;
            EXPECT_LT(fraction, std::chrono::milliseconds{700}) << m.name;
        }
        EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(compares[1]) -
                      std::chrono::floor<std::chrono::seconds>(compares[0]),
                  std::chrono::seconds{1})
            << m.name;
        if (m.node) {
            const std::vector<Access> t = read_trace(dir / "trace.tsv");
            const auto reads = std::count_if(t.begin(), t.end(), [](const Access &a) {
                return a.device == "board" && a.dir == 'R';
            });
            EXPECT_LT(reads, 5000) << "the waiters polled";
        }
    }
}

// A SIGINT ignored when korvic starts (a `cmd &` of a non-interactive shell, trap '' INT)
// stays ignored: the waiting commands go on to their count and end with status 0.
TEST_F(CliE2E, AnInheritedIgnoreOfSigintIsKept) {
    const struct {
        const char *sim_options, *command;
        int after_sigint;  // a signal sent once SIGINT is pending, or 0
        const char *line;  // how each line of the command's output starts
        int lines;
    } cases[] = {
        {"--ext-signal USR1", "events --count 1", SIGUSR1, "1 ", 1},
        {"", "offset --count 2 --interval 200ms", 0, "board ", 2},
    };
    for (const auto &[sim_options, command, after_sigint, line, lines] : cases) {
        const long pid = start(sim_options, command, "trap '' INT");
        ASSERT_GT(pid, 0) << command;
        ASSERT_EQ(kill(static_cast<pid_t>(pid), SIGINT), 0);
        // Pending together, SIGINT (the lower number) is taken first.
        if (after_sigint != 0) {
            ASSERT_EQ(kill(static_cast<pid_t>(pid), after_sigint), 0);
        }
        for (int i = 0; i < lines; ++i)
            EXPECT_EQ(next_line().rfind(line, 0), 0u) << command;
        const int status = finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << " " << status;
    }
}

// SIGINT and SIGTERM end the waiting commands after their last whole line: the board is
// released and the process ends by that signal, as the calling shell expects.
// Waiting on the interrupt node, and polling.
TEST_F(CliE2E, InterruptEndsWaitingCommandsBySignal) {
    for (const int sig : {SIGINT, SIGTERM}) {
        for (const auto &[sim_options, config] :
             {std::pair{"", ""}, std::pair{kPollingSim, "--config polling.cfg "}}) {
            for (const char *command :
                 {"events", "wait-compare --count 0", "offset --count 0 --interval 1h"}) {
                const long pid = start(sim_options, config + std::string(command));
                ASSERT_GT(pid, 0) << command;
                ASSERT_EQ(kill(static_cast<pid_t>(pid), sig), 0);
                const int status = finish();
                EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig)
                    << config << command << status;
                EXPECT_EQ(slurp(dir / "stderr.txt"), "") << config << command;
            }
        }
    }
}

}  // namespace
