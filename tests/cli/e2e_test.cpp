// End to end: korvic on the simulated board, through the real launcher. Each test is one
// point the tool must show; the trace (--trace-tsv) shows what reached the board.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
using std::chrono::microseconds;
using std::chrono::milliseconds;

struct Result {
    int status = -1;
    std::string out, err;
};

struct Access {
    char dir;
    std::string device;
    std::uint32_t offset;
    std::string note;
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

// The accesses of a --trace-tsv file: seq, device, dir, offset, name, value, note, pid.
std::vector<Access> read_trace(const fs::path &p) {
    std::vector<Access> out;
    for (const std::string &line : lines_of(slurp(p))) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');)
            f.push_back(field);
        if (f.size() < 7) {
            ADD_FAILURE() << "bad trace line: " << line;
            continue;
        }
        out.push_back(
            {f[2][0], f[1], static_cast<std::uint32_t>(std::stoul(f[3], nullptr, 16)), f[6]});
    }
    return out;
}

long writes(const std::vector<Access> &trace) {
    return std::count_if(trace.begin(), trace.end(), [](const Access &a) { return a.dir == 'W'; });
}

korvic::utc_time time_of(const std::string &text) {
    return korvic::parse_time(text);
}

class CliE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/korvic_cli_e2e.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::ofstream(dir / "korvic_cfg.dat") << "MEM_PATH=/dev/korvic_sim/board\n"
                                                 "INT_PATH=/dev/korvic_sim/bridge\n"
                                                 "ENABLE_INT\n";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs a shell command line in dir; {sim} and {korvic} stand for the two programs.
    Result run(std::string cmd) {
        cmd = expand(cmd);
        const std::string shell =
            "cd '" + dir.string() + "' && " + cmd + " </dev/null >stdout.txt 2>stderr.txt";
        const int rc = std::system(shell.c_str());
        Result r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
        r.out = slurp(dir / "stdout.txt");
        r.err = slurp(dir / "stderr.txt");
        return r;
    }
    std::string expand(std::string cmd) const {
        for (const auto &[name, value] :
             {std::pair<std::string, std::string>{"{sim}", KORVIC_SIM_BIN},
              {"{korvic}", KORVIC_BIN}}) {
            for (std::size_t at = cmd.find(name); at != std::string::npos;
                 at = cmd.find(name, at + value.size()))
                cmd.replace(at, name.size(), value);
        }
        return cmd;
    }

    fs::path dir;
};

// A command started in the background, its standard output read line by line.
class Background {
  public:
    Background(const fs::path &cwd, const std::string &cmd) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            const int err = open((cwd / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            if (chdir(cwd.c_str()) != 0)
                _exit(126);
            // exec: korvic_sim runs the program in its own place, so pid_ is korvic's.
            execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
    }
    ~Background() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (out_ >= 0)
            close(out_);
    }
    pid_t pid() const { return pid_; }
    // The next whole line, or "" after a minute (a way out, not a timing).
    std::string next_line() {
        for (;;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0)
                return "";
            char buf[4096];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0)
                return "";
            buffer_.append(buf, static_cast<std::size_t>(n));
        }
    }
    int wait() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return status;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    std::string buffer_;
};

// Waits until the trace shows a board access matching `pred` (a minute as a way out).
template <typename Pred>
bool trace_shows(const fs::path &trace, Pred pred) {
    for (int i = 0; i < 6000; ++i) {
        const std::vector<Access> t = read_trace(trace);
        if (std::any_of(t.begin(), t.end(), pred))
            return true;
        std::this_thread::sleep_for(milliseconds{10});
    }
    return false;
}

// `korvic time` prints the board's instant: the start of the virtual clock, moved one
// step by each of the three strobe writes; in either format, with the global options
// before or after the subcommand, and the configuration from --config or $KORVIC_CONFIG.
TEST_F(CliE2E, TimePrintsTheBoardsInstant) {
    const std::string sim = "{sim} --virtual --start 2026-03-28T12:34:56.789120 --step 1us -- ";
    struct Case {
        std::string args, out;
    } const cases[] = {
        {"{korvic} time", "2026-03-28T12:34:56.789123Z\n"},
        {"{korvic} --format unix time", "1774701296.789123\n"},
        {"{korvic} time --format unix", "1774701296.789123\n"},
        {"{korvic} time --json",
         "{\"time\":\"2026-03-28T12:34:56.789123Z\","
         "\"time_unix\":1774701296.789123}\n"},
    };
    for (const Case &c : cases) {
        const Result r = run(sim + c.args);
        EXPECT_EQ(r.status, 0) << c.args << r.err;
        EXPECT_EQ(r.out, c.out) << c.args;
    }
    fs::create_directory(dir / "etc");
    fs::rename(dir / "korvic_cfg.dat", dir / "etc" / "board.cfg");
    const std::string cases_env[][2] = {
        {"", "--config etc/board.cfg"},
        {"KORVIC_CONFIG=etc/board.cfg ", ""},
        {"KORVIC_CONFIG=missing.cfg ", "--config etc/board.cfg"},
    };
    for (const auto &[env, option] : cases_env) {
        const Result r = run(env + sim + "{korvic} time " + option);
        EXPECT_EQ(r.status, 0) << env << option << r.err;
        EXPECT_EQ(r.out, "2026-03-28T12:34:56.789123Z\n") << env << option;
    }
}

// Every subcommand's --json output is one JSON object per line, as python3 -m json.tool
// reads JSON lines.
TEST_F(CliE2E, JsonLinesParse) {
    const std::string sim =
        "{sim} --virtual --start 2026-03-28T12:34:56 --step 10us "
        "--ext-period 1ms -- ";
    const char *commands[] = {
        "time",
        "offset --count 3 --interval 0",
        "status",
        "regs",
        "preset 2027-001T00:00:00.5Z",
        "compare @1774701296.25 --every second",
        "compare off",
        "events --count 2",
        "timer stop",
    };
    for (const char *command : commands) {
        const Result r = run(sim + "{korvic} --json " + command +
                             " >out.json && python3 -m json.tool --json-lines out.json");
        EXPECT_EQ(r.status, 0) << command << ": " << r.err;
        const std::vector<std::string> lines = lines_of(slurp(dir / "out.json"));
        EXPECT_FALSE(lines.empty()) << command;
        for (const std::string &line : lines)
            EXPECT_TRUE(line.front() == '{' && line.back() == '}') << command << ": " << line;
    }
    const Result offsets = run(sim + "{korvic} --json offset --count 3 --interval 0");
    const std::vector<std::string> lines = lines_of(offsets.out);
    ASSERT_EQ(lines.size(), 3u);
    for (const char *key : {"\"board\":\"2026-03-28T12:34:56.", "\"board_unix\":1774701296.",
                            "\"system\":", "\"system_unix\":", "\"offset_ns\":", "\"bracket_ns\":"})
        EXPECT_NE(lines[0].find(key), std::string::npos) << key << " in " << lines[0];
}

// Usage errors: status 2, one line on standard error naming the option or argument and the
// value, and nothing on the bus (neither the board nor the bridge).
TEST_F(CliE2E, UsageErrorsExitTwoAndTouchNothing) {
    struct Case {
        const char *args;
        const char *says;
    } const cases[] = {
        {"", "korvic: A subcommand is required"},
        {"frobnicate", "korvic: unknown subcommand \"frobnicate\""},
        {"--frobnicate time", "korvic: The following argument was not expected: --frobnicate"},
        {"time --frobnicate", "korvic: The following argument was not expected: --frobnicate"},
        {"time now", "korvic: The following argument was not expected: now"},
        {"preset", "korvic: TIME is required"},
        {"preset 2026-02-29T00:00:00Z",
         "korvic: preset: time \"2026-02-29T00:00:00Z\": "
         "February 2026 has no day 29"},
        {"preset 2026-000T00:00:00Z",
         "korvic: preset: time \"2026-000T00:00:00Z\": 2026 has "
         "days 001 to 365"},
        {"preset yesterday", "korvic: preset: time \"yesterday\": not a time"},
        {"preset 2100-01-01T00:00:00Z",
         "korvic: preset: 2100-01-01T00:00:00.000000Z is outside "
         "the board's range"},
        {"--config off.cfg preset 2099-12-31T23:59:59Z",
         "korvic: preset: "
         "2099-12-31T23:59:59.000000Z is "
         "2100-01-01T00:00:59.000000Z in board "
         "time (SEC_OFF=60"},
        {"compare @5",
         "korvic: compare @5: --every year|day|hour|minute|second|millisecond is "
         "required"},
        {"compare @5 --every week", "korvic: compare: --every \"week\": not one of"},
        {"compare 12:00 --every second", "korvic: compare: time \"12:00\": not a time"},
        {"compare off --every second", "korvic: compare off: --every \"second\" does not go"},
        {"offset --interval 5", "korvic: --interval: duration \"5\": no unit"},
        {"offset --interval 1fortnight",
         "korvic: --interval: duration \"1fortnight\": unknown "
         "unit \"fortnight\""},
        {"offset --interval -1s", "korvic: --interval: duration \"-1s\": not a duration"},
        {"events --timeout 1.0000000001s",
         "korvic: --timeout: duration \"1.0000000001s\": finer "
         "than a nanosecond"},
        {"events --timeout 999999999h", "korvic: --timeout: duration \"999999999h\": beyond"},
        {"events --count -1", "korvic: --count: \"-1\": not a whole number 0 or more"},
        {"events --count 99999999999999999999",
         "korvic: --count: \"99999999999999999999\": too "
         "large"},
        {"events --count", "korvic: --count: 1 required N missing"},
        {"wait-compare --timeout", "korvic: --timeout: 1 required DURATION missing"},
        {"time --config", "korvic: --config: 1 required PATH missing"},
        {"--format hex time", "korvic: --format: hex not in {iso,unix}"},
        {"timer pause", "korvic: ACTION: pause not in {start,stop}"},
        {"timer", "korvic: ACTION is required"},
    };
    std::ofstream(dir / "off.cfg") << slurp(dir / "korvic_cfg.dat") << "SEC_OFF=60\n";
    for (const Case &c : cases) {
        const Result r =
            run(std::string("{sim} --virtual --trace-tsv trace.tsv -- {korvic} ") + c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << c.args << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << c.args;
        const std::vector<Access> trace = read_trace(dir / "trace.tsv");
        EXPECT_EQ(writes(trace), 0) << c.args;
        EXPECT_TRUE(trace.empty()) << c.args;
    }
}

// Help everywhere (status 0, on standard output), and the version.
TEST_F(CliE2E, HelpAndVersion) {
    const char *subcommands[] = {"time",    "offset",       "status", "regs", "preset",
                                 "compare", "wait-compare", "events", "timer"};
    Result r = run("{korvic} --help");
    EXPECT_EQ(r.status, 0);
    for (const char *s : subcommands)
        EXPECT_NE(r.out.find(std::string("\n  ") + s + " "), std::string::npos) << s;
    for (const char *s : subcommands) {
        r = run(std::string("{korvic} ") + s + " --help");
        EXPECT_EQ(r.status, 0) << s;
        EXPECT_NE(r.out.find(std::string("Usage: korvic ") + s), std::string::npos) << r.out;
    }
    r = run("{korvic} --version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "korvic " + std::to_string(KORVIC_API_VERSION_MAJOR) + "." +
                         std::to_string(KORVIC_API_VERSION_MINOR) + "." +
                         std::to_string(KORVIC_API_VERSION_PATCH) + "\n");
}

// Board and system failures: status 1 and one line naming what failed and the path.
TEST_F(CliE2E, FailuresExitOneNamingWhatFailed) {
    std::ofstream(dir / "nodevice.cfg") << "MEM_PATH=/nonexistent/board\n";
    struct Case {
        const char *args;
        const char *says;
    } const cases[] = {
        {"{korvic} time --config missing.cfg",
         "korvic: read configuration: No such file or directory [missing.cfg]\n"},
        {"{korvic} time --config nodevice.cfg",
         "korvic: open register device: No such file or directory [/nonexistent/board]\n"},
        {"{sim} -- sh -c '{korvic} time >/dev/full'",
         "korvic: standard output: No space left on device\n"},
    };
    for (const Case &c : cases) {
        const Result r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.err, c.says) << c.args;
    }
}

// status and regs read every register they show and write nothing; what they decode is
// what the board holds.
TEST_F(CliE2E, StatusAndRegsDecodeAndOnlyRead) {
    const std::string sim =
        "{sim} --virtual --start 2026-03-28T12:34:56 --step 1us --trace-tsv "
        "trace.tsv -- ";
    Result r = run(sim + "{korvic} status");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> status = lines_of(r.out);
    ASSERT_EQ(status.size(), 2u + 1 + 5 + 1 + 11 + 1 + 6) << r.out;
    EXPECT_EQ(status[0], "timer running");
    EXPECT_EQ(status[1], "compare event flag clear");
    EXPECT_EQ(status[2].rfind("hardware status", 0), 0u);
    EXPECT_EQ(status[6], "  selector 3  bit 9       0  compare event");
    EXPECT_EQ(status[13], "  selector 4  bit 27      0  timer stop");
    EXPECT_EQ(status[18], "  selector 9  bits 19-16  0");
    EXPECT_EQ(status[22], "  selector 1  bit 25      0  compare event clear");
    std::vector<Access> trace = read_trace(dir / "trace.tsv");
    EXPECT_EQ(writes(trace), 1) << "the bridge's ENABLE_INT only";

    // The timer stopped by one program is what the next one's status shows.
    r = run(sim + "sh -c '{korvic} timer stop && {korvic} status'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> stopped = lines_of(r.out);
    ASSERT_EQ(stopped.size(), 1 + status.size());
    EXPECT_EQ(stopped[0], "timer stopped");
    EXPECT_EQ(stopped[1], "timer stopped");
    EXPECT_EQ(stopped[14], "  selector 4  bit 27      1  timer stop");

    r = run(sim + "{korvic} regs");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string regs = r.out;
    EXPECT_NE(regs.find("0x0fc  time and status   0x"), std::string::npos) << regs;
    EXPECT_NE(regs.find("  latched 2026-03-28T12:34:56.000000Z\n"), std::string::npos) << regs;
    EXPECT_NE(regs.find("0x118  configuration     0x00000000  timer stop 0, preset load 0\n"),
              std::string::npos)
        << regs;
    EXPECT_NE(regs.find("0x138  time compare      0x00000000 0x000000f0  day 000 (from 0) "
                        "00:00:00.000000, mask 15 (off)\n"),
              std::string::npos)
        << regs;
    EXPECT_EQ(lines_of(regs).size(), korvic::register_map().size());
    trace = read_trace(dir / "trace.tsv");
    EXPECT_EQ(writes(trace), 1) << "the bridge's ENABLE_INT only";
    for (const korvic::RegisterView &reg : korvic::register_map())
        for (std::uint32_t k = 0; k < reg.words; ++k)
            EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [&](const Access &a) {
                return a.device == "board" && a.offset == reg.offset + 4 * k;
            })) << reg.name;
}

// preset TIME loads it to the millisecond (the board's finest preset unit) and says so;
// the trace shows the load.
TEST_F(CliE2E, PresetLoadsTheTimeToTheMillisecond) {
    const Result r =
        run("{sim} --virtual --step 1us --trace-tsv trace.tsv -- {korvic} preset "
            "2027-001T23:59:58.123456");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "preset 2027-01-01T23:59:58.123000Z\n");
    const std::vector<Access> trace = read_trace(dir / "trace.tsv");
    EXPECT_TRUE(std::any_of(trace.begin(), trace.end(), [](const Access &a) {
        return a.note.find("preset loaded 2027-000 23:59:58.123") != std::string::npos;
    }));
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

// preset now on a board three seconds ahead of the host: the board takes the system clock
// at a whole second, the residual read back is printed and under a millisecond, and the
// next program's reading agrees.
TEST_F(CliE2E, PresetNowSetsABoardThreeSecondsAheadToTheSystemClock) {
    const Result r =
        run("{sim} --offset +3s -- sh -c '{korvic} --json offset && {korvic} --json "
            "preset now && {korvic} --json offset'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    const long long before = json_integer(lines[0], "offset_ns");
    EXPECT_LT(std::llabs(before - 3'000'000'000), 1'000'000) << lines[0];
    EXPECT_NE(json_value(lines[1], "preset").find(".000000Z\""), std::string::npos) << lines[1];
    EXPECT_LT(std::llabs(json_integer(lines[1], "residual_ns")), 1'000'000) << lines[1];
    EXPECT_GT(json_integer(lines[1], "write_cost_ns"), 0) << lines[1];
    EXPECT_LT(std::llabs(json_integer(lines[2], "offset_ns")), 1'000'000) << lines[2];
}

// compare, then wait-compare, as two commands of one script on one board: an event every
// second of board time, each printed once, exactly a second after the one before.
TEST_F(CliE2E, CompareThenWaitCompareGiveALineASecond) {
    const Result r =
        run("{sim} --virtual --start 2026-03-28T12:00:00 --step 1ms -- sh -c "
            "'{korvic} --json compare 2026-03-28T12:00:00.5Z --every second && {korvic} "
            "--json wait-compare --count 4 --timeout 60s' >out.json && python3 -m "
            "json.tool --json-lines out.json >/dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(slurp(dir / "out.json"));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0],
              "{\"compare\":\"2026-03-28T12:00:00.500000Z\",\"compare_unix\":"
              "1774699200.500000,\"every\":\"second\"}");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_EQ(json_integer(lines[i], "n"), static_cast<long long>(i)) << lines[i];
        const std::string t = json_value(lines[i], "time");
        ASSERT_GE(t.size(), 2u) << lines[i];
        const korvic::utc_time at = time_of(t.substr(1, t.size() - 2));
        // Seen at the poll that crossed the half second, read 3 strobes later.
        EXPECT_EQ(at, time_of("2026-03-28T12:00:00.503Z") + std::chrono::seconds(i - 1))
            << lines[i];
    }
}

// events: one line per signal, each printed before the next signal is sent, a running
// number from 1, nothing lost or doubled, for 1000 signals.
TEST_F(CliE2E, EventsPrintsOneLinePerSignal) {
    constexpr int kSignals = 1000;
    Background events(dir, std::string(KORVIC_SIM_BIN) +
                               " --ext-signal USR1 --trace-tsv trace.tsv -- " KORVIC_BIN
                               " events --count " +
                               std::to_string(kSignals));
    // The watcher's first reading of the event register: events from here on are new.
    ASSERT_TRUE(trace_shows(dir / "trace.tsv", [](const Access &a) { return a.offset == 0x174; }));
    korvic::utc_time last{};
    for (int i = 1; i <= kSignals; ++i) {
        ASSERT_EQ(kill(events.pid(), SIGUSR1), 0);
        const std::string line = events.next_line();
        const std::string number = std::to_string(i) + " ";
        ASSERT_EQ(line.rfind(number, 0), 0u) << line;
        const korvic::utc_time t = time_of(line.substr(number.size()));
        EXPECT_GT(t, last) << line;
        last = t;
    }
    EXPECT_EQ(events.next_line(), "") << "a line more than signals";
    const int status = events.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// At 1 kHz of board time nothing is lost: a 1 ms event train on a virtual clock (100 us per
// access) is printed event by event, each 1 ms after the one before.
TEST_F(CliE2E, EventsFollowAKilohertzTrain) {
    const Result r =
        run("{sim} --virtual --start 2026-03-28T12:00:00 --step 100us --ext-period "
            "1ms -- {korvic} --format unix events --count 500");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 500u);
    korvic::utc_time previous{};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string number = std::to_string(i + 1) + " ";
        ASSERT_EQ(lines[i].rfind(number, 0), 0u) << lines[i];
        const korvic::utc_time t = time_of("@" + lines[i].substr(number.size()));
        if (i > 0) {
            EXPECT_EQ(t - previous, milliseconds{1}) << lines[i];
        }
        previous = t;
    }
}

// A timeout before --count is reached is status 1, named; without --count it is the end.
TEST_F(CliE2E, TimeoutWithCountNotReachedExitsOne) {
    Result r = run("{sim} --virtual --ext-period 1h -- {korvic} events --count 2 --timeout 50ms");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvic: events: --timeout 50ms reached after 0 of 2 events\n");
    r = run("{sim} --virtual -- {korvic} events --timeout 50ms");
    EXPECT_EQ(r.status, 0) << r.err;
    r = run("{sim} --virtual -- {korvic} wait-compare --timeout 10ms");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvic: wait-compare: --timeout 10ms reached after 0 of 1 compare events\n");
    r = run("{sim} --virtual -- {korvic} wait-compare --count 0 --timeout 10ms");
    EXPECT_EQ(r.status, 0) << r.err;
}

// SIGINT and SIGTERM end the waiting commands after their last whole line: the board is
// released and the process ends by that signal, as the calling shell expects.
TEST_F(CliE2E, InterruptEndsWaitingCommandsBySignal) {
    const char *commands[] = {"events", "wait-compare --count 0", "offset --count 0 --interval 1h"};
    for (const int sig : {SIGINT, SIGTERM}) {
        for (const char *command : commands) {
            fs::remove(dir / "trace.tsv");
            Background bg(dir, std::string(KORVIC_SIM_BIN) + " --trace-tsv trace.tsv -- " +
                                   KORVIC_BIN + " " + command);
            ASSERT_TRUE(trace_shows(dir / "trace.tsv", [](const Access &a) {
                return a.device == "board";
            })) << command;
            ASSERT_EQ(kill(bg.pid(), sig), 0);
            const int status = bg.wait();
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << command << status;
            EXPECT_EQ(slurp(dir / "stderr.txt"), "") << command;
        }
    }
}

}  // namespace
