// One board, every reader at once: 60 s on the simulated board, 250 ms ahead of the host,
// with korvicd feeding a real chronyd (sandboxed: -x, a private directory), two `korvic
// offset` loops and a Python loop of sample() throughout, and for the second half the
// console's live display (item 13) through a pseudo-terminal. Every reading with a bracket
// lies within half of it (and the board's microsecond digit) of the simulator's offset, no
// reader sees the board's time go back, korvicd logs no step and no rate error, and chronyd
// sees the board 250 ms ahead. Labelled "long" (ctest -L long).
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "chronyd_sandbox.h"
#include "e2e_fixture.h"
#include "korvic/board.hpp"
#include "pty_session.h"

namespace {

using namespace korvic::sim_test;
using korvic::test::Chronyd;
using korvic::test::Process;
using korvic::test::slurp_file;
using namespace std::chrono_literals;

constexpr std::int64_t kAheadNs = 250'000'000;
constexpr auto kRun = 60s;

// The value after "KEY": in one JSON line (a number, or a string without its quotes).
std::string json_value(const std::string &line, const std::string &key) {
    const auto at = line.find("\"" + key + "\":");
    if (at == std::string::npos)
        return "";
    std::string rest = line.substr(at + key.size() + 3);
    rest = rest.substr(0, rest.find_first_of(",}"));
    return rest.size() >= 2 && rest.front() == '"' ? rest.substr(1, rest.size() - 2) : rest;
}

struct Checked {
    std::size_t readings = 0, off = 0, backwards = 0;
};

// `korvic --json offset` lines: each reading against the simulator's offset, as
// sample_reader.py checks Python's, and the board's time never going back.
Checked check_offsets(const std::string &text) {
    Checked c;
    std::istringstream in(text);
    std::string last;
    for (std::string line; std::getline(in, line); ++c.readings) {
        const std::int64_t offset = std::stoll(json_value(line, "offset_ns"));
        const double half = static_cast<double>(std::stoll(json_value(line, "bracket_ns"))) / 2;
        const auto d = static_cast<double>(offset - kAheadNs);
        c.off += d > half || -d > half + 1000;
        const std::string board = json_value(line, "board");  // fixed width: sorts as it runs
        c.backwards += !last.empty() && board < last;
        last = board;
    }
    return c;
}

// The console's live display, "time is YYYY years DDD days ...\r" lines: the board's time
// never going back.
Checked check_display(const std::string &text) {
    Checked c;
    std::tuple<int, int, int, int, int, int, int> last{}, now{};
    for (std::size_t from = 0, end; (end = text.find('\r', from)) != std::string::npos;
         from = end + 1) {
        auto &[y, d, h, m, s, ms, us] = now;
        if (std::sscanf(text.substr(from, end - from).c_str(),
                        "time is %d years %d days %d hours %d min %d sec %d ms %d us", &y, &d, &h,
                        &m, &s, &ms, &us) != 7)
            continue;
        c.backwards += c.readings > 0 && now < last;
        last = now;
        ++c.readings;
    }
    return c;
}

class SharedBoard : public HeldRun {};

TEST_F(SharedBoard, SixtySecondsOfEveryReaderAtOnce) {
    write_cfg(cfg_devices);
    const auto held = hold_run("--offset +250ms");
    ASSERT_FALSE(run_env.empty()) << held->seen();
    const std::string sock = (dir / "korvic.sock").string();
    Chronyd chronyd(dir, sock);
    ASSERT_TRUE(chronyd.answers()) << chronyd.log();

    // On a machine shared with other work, a holder preempted inside its sequence may keep
    // the board lock beyond the default 100 ms: the readers wait longer here, and Python
    // pauses between readings so that the two processors are not taken by this test's loops
    // alone. What is checked is that readings are whole and honest (the bound has tests of
    // its own).
    const auto started = std::chrono::steady_clock::now();
    Process korvicd({KORVICD_BIN, "--sock", sock, "--rate", "4", "--max-bracket", "1ms", "--stats",
                     "10s", "--lock-wait", "500ms"},
                    dir, dir / "korvicd.out", dir / "korvicd.err", run_env);
    std::vector<std::unique_ptr<Process>> offsets;
    for (const char *name : {"a", "b"})
        offsets.push_back(std::make_unique<Process>(
            std::vector<std::string>{KORVIC_BIN, "--json", "--lock-wait", "2s", "offset", "--count",
                                     "0", "--interval", "20ms"},
            dir, dir / ("offset-" + std::string(name) + ".json"), dir / "offset.err", run_env));
    std::vector<std::string> python_env = {"PYTHONPATH=" KORVIC_PYTHONPATH,
                                           "PYTHONDONTWRITEBYTECODE=1"};
    const bool sanitized = !std::string(KORVIC_PYTHON_PRELOAD).empty();
    for (std::string e : run_env) {
        // A sanitizer build: the runtimes before the simulator's library, and the
        // interpreter's own memory kept until it ends is no leak.
        if (sanitized && e.rfind("LD_PRELOAD=", 0) == 0)
            e.insert(11, KORVIC_PYTHON_PRELOAD ":");
        else if (sanitized && e.rfind("ASAN_OPTIONS=", 0) == 0)
            e += ":detect_leaks=0";
        python_env.push_back(e);
    }
    Process python({PYTHON3_BIN, SAMPLE_READER, std::to_string(kAheadNs), "--seconds",
                    std::to_string(std::chrono::seconds{kRun}.count()), "--lock-wait", "2",
                    "--pause", "0.0002"},
                   dir, dir / "python.json", dir / "python.err", python_env);

    // The second half: the console's live display beside them.
    std::this_thread::sleep_for(kRun / 2);
    std::vector<std::string> console_env = run_env;
    console_env.push_back("TERM=dumb");
    korvic::testing::PtySession console({KORVIC_TEST_BIN}, dir.string(), console_env);
    ASSERT_TRUE(console.wait_for("    > ")) << console.output() << console.error_output();
    console.send("13\n");
    ASSERT_TRUE(console.wait_for("Enter CTRL-C for new menu\n")) << console.output();
    const std::size_t display_from = console.cursor();
    console.collect_for(std::chrono::duration_cast<std::chrono::milliseconds>(
        started + kRun - std::chrono::steady_clock::now()));
    const std::string display = console.output_since(display_from);
    console.send_interrupt();
    ASSERT_TRUE(console.wait_for("    > ")) << console.error_output();
    console.send("20\n");
    EXPECT_EQ(console.wait_exit(), 0) << console.error_output();
    // The C API's lock wait is its fixed 100 ms, which a holder preempted by a busy host
    // (stalls of 100 ms and more under the sanitizers) can outlast: it then says so once
    // and reads that one sequence unlocked. Said in the summary, not judged: the display's
    // readings are, below.
    const bool console_unlocked =
        console.error_output().find("without the board lock") != std::string::npos;

    EXPECT_EQ(python.wait(30s), 0) << slurp_file(dir / "python.err");
    for (auto &o : offsets)
        EXPECT_EQ(o->stop(SIGINT), 128 + SIGINT) << slurp_file(dir / "offset.err");
    korvic::test::Source last;
    EXPECT_TRUE(chronyd.reports("KRVC", -0.25, 1e-3, 15s, &last))
        << "last report: reach " << last.reach << " offset " << last.offset;
    EXPECT_EQ(korvicd.stop(SIGTERM), 0);
    held->close_input();
    EXPECT_EQ(held->wait(), 0);

    // Every reader's readings, checked.
    std::string counts;
    for (const char *name : {"a", "b"}) {
        const Checked c =
            check_offsets(slurp_file(dir / ("offset-" + std::string(name) + ".json")));
        counts += "korvic offset " + std::string(name) + " " + std::to_string(c.readings) + ", ";
        EXPECT_GT(c.readings, 100u) << name;
        EXPECT_EQ(c.off, 0u) << name;
        EXPECT_EQ(c.backwards, 0u) << name;
    }
    const std::string py = slurp_file(dir / "python.json");
    EXPECT_GT(std::stoll("0" + json_value(py, "n")), 1000) << py;
    EXPECT_EQ(json_value(py, "off"), "0") << py;
    EXPECT_EQ(json_value(py, "back"), "0") << py;
    const Checked shown = check_display(display);
    EXPECT_GT(shown.readings, 100u) << display.substr(0, 500);
    EXPECT_EQ(shown.backwards, 0u);

    // korvicd fed chronyd all along, and found the board's time never stepped or drifting.
    const std::string log = slurp_file(dir / "korvicd.err");
    EXPECT_NE(log.find("board time consistent over 3 intervals; feeding samples"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("stepped by"), std::string::npos) << log;
    EXPECT_EQ(log.find("ppm"), std::string::npos) << log;
    EXPECT_EQ(log.find("board stopped"), std::string::npos) << log;
    std::uint64_t kept = 0;
    const std::regex stats("stats over [^:]*: kept ([0-9]+)");
    for (std::sregex_iterator it(log.begin(), log.end(), stats), end; it != end; ++it)
        kept += std::stoull((*it)[1]);
    EXPECT_GT(kept, 100u) << log;
    std::printf("readings: %sPython %s, console %zu%s; korvicd kept %llu\n", counts.c_str(),
                json_value(py, "n").c_str(), shown.readings,
                console_unlocked ? " (once past the lock wait)" : "",
                static_cast<unsigned long long>(kept));
}

}  // namespace
