// End to end: the boards of a run are shared by every process under one launcher; several
// boards, each with its paths, configuration file, offset and clock faults; a process
// killed in the middle of an access does not stop the others; the run's files go when the
// run ends, or with the next launcher when nothing of the run is left.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace {

using namespace korvic::sim_test;

constexpr std::int64_t kMs = 1000, kSecond = 1'000'000;  // in microseconds

// "A B C" lines of numbers.
std::vector<std::vector<std::int64_t>> numbers(const std::string &text) {
    std::vector<std::vector<std::int64_t>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::vector<std::int64_t> row;
        for (std::int64_t v = 0; fields >> v;)
            row.push_back(v);
        rows.push_back(row);
    }
    return rows;
}

class Boards : public HeldRun {};

// ---------------------------------------------------------------------------------------
// One board for every process of the run.
// ---------------------------------------------------------------------------------------

// A preset made by one program is the time the next one reads, as on a real board; the
// accesses of both count in one sequence.
TEST_F(Boards, PresetByOneProcessIsReadByTheNext) {
    write_cfg(cfg_devices);
    const Result r = run(
        sim + " --virtual --start '2026+100d 12:00:00' --step 1us --trace-tsv t.tsv -- sh -c '" +
        client + " preset 2030 123 4 5 6 && " + client + " time'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("time 2030-123 04:05:06.", 0), 0u) << r.out;
    const std::vector<Row> rows = read_tsv(dir / "t.tsv");
    ASSERT_FALSE(rows.empty());
    std::set<long> pids;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].seq, i + 1);
        pids.insert(rows[i].pid);
    }
    EXPECT_EQ(pids.size(), 2u);
    // Without the launcher's run, each program has a board of its own: the preset is lost.
    // (Set by hand, the preload library comes before a sanitizer's runtime: allowed here as
    // the launcher allows it.)
    const Result alone =
        run("env KORVIC_SIM_CLOCK=virtual KORVIC_SIM_START=@1000 "
            "LD_PRELOAD=" SIM_PRELOAD_LIB
            " ASAN_OPTIONS=\"$ASAN_OPTIONS:"
            "verify_asan_link_order=0\" sh -c '" +
            client + " preset 2030 123 4 5 6 && " + client + " time'");
    EXPECT_EQ(alone.out, "time 1970-000 00:16:40.000000\n") << alone.err;
}

// ---------------------------------------------------------------------------------------
// Several boards.
// ---------------------------------------------------------------------------------------

// Each board keeps the host's UTC time plus its offset: a reading bracketed by the host's
// clock (before the strobes, after the first load of the latched time) lies within half
// the bracket of the midpoint plus the offset, give or take 50 us, for 1000 readings each.
TEST_F(Boards, EachBoardKeepsTheHostsTimePlusItsOffset) {
    const Result r = run(sim + " --boards 3 --offset 1:+3s --offset 2:-2s -- sh -c '" + client +
                         " bracket /dev/korvic_sim/board 1000 && " + client +
                         " bracket /dev/korvic_sim/board2 1000 && " + client +
                         " bracket /dev/korvic_sim/board3 1000'");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = numbers(r.out);
    ASSERT_EQ(rows.size(), 3000u);
    const std::int64_t offsets_ns[] = {3'000'000'000, -2'000'000'000, 0};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), 3u) << i;
        const std::int64_t before = rows[i][0], after = rows[i][1], board_ns = rows[i][2] * 1000;
        const std::int64_t mid = before + (after - before) / 2;
        const std::int64_t error = board_ns - mid - offsets_ns[i / 1000];
        EXPECT_LE(std::abs(error), (after - before) / 2 + 50'000)
            << "board " << i / 1000 + 1 << ", reading " << i % 1000;
    }
}

// Board K has its own device paths, a korvic_cfg.K.dat that names them, its own settings
// (start time, bus order) and its own name in the trace; its device files have the
// windows' sizes.
TEST_F(Boards, BoardTwoHasItsOwnPathsConfigurationAndTrace) {
    const Result r = run(
        sim +
        " --boards 2 --virtual --step 1us --start 2026+100dT00:00:00 --start 2:2031+200dT00:00:00"
        " --bus-order 2:swapped --trace-tsv t.tsv --workdir work -- sh -c '" +
        client + " time && " + client + " size /dev/korvic_sim/board2 && " + client +
        " size /dev/korvic_sim/bridge2 && mkdir b2 && cp korvic_cfg.2.dat b2/korvic_cfg.dat && "
        "cd b2 && " +
        client + " time'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "time 2026-100 00:00:00.000003\n/dev/korvic_sim/board2 512\n"
              "/dev/korvic_sim/bridge2 128\ntime 2031-200 00:00:00.000003\n");
    const std::string first = slurp(dir / "work" / "korvic_cfg.dat");
    const std::string second = slurp(dir / "work" / "korvic_cfg.2.dat");
    EXPECT_EQ(second.rfind("# korvic_cfg.dat written by korvic_sim\n", 0), 0u) << second;
    for (const char *line : {"MEM_PATH=/dev/korvic_sim/board2\n",
                             "INT_PATH=/dev/korvic_sim/bridge2\n", "ENABLE_INT\n", "BYTE_SWAP=1\n"})
        EXPECT_NE(second.find(line), std::string::npos) << line;
    EXPECT_NE(first.find("MEM_PATH=/dev/korvic_sim/board\n"), std::string::npos);
    EXPECT_NE(first.find("BYTE_SWAP=0\n"), std::string::npos);
    std::map<std::string, int> devices;
    for (const Row &row : read_tsv(dir / "t.tsv"))
        ++devices[row.device];
    EXPECT_EQ(devices, (std::map<std::string, int>{
                           {"board", 6}, {"bridge", 2}, {"board2", 6}, {"bridge2", 2}}));
}

// An option with K: sets board K, without it every board (over what K: set before it); an
// option without K: also replaces the board variables of the environment.
TEST_F(Boards, PrefixedOptionsBecomeTheBoardsVariables) {
    struct Case {
        std::string env, options, want;
    };
    const Case cases[] = {
        {"", "--boards 2 --offset +1s --offset 2:-1s", "+1s|-1s||"},
        {"", "--boards 2 --offset 2:-1s --offset +1s", "+1s|||"},
        {"", "--offset=2:+1s --boards=2", "|+1s||"},
        {"", "--boards 2 --stop-at 1s:1s --stop-at 2:5s:1s --stop-at 2:9s:1s",
         "||1s:1s|5s:1s,9s:1s"},
        {"KORVIC_SIM_OFFSET_2=5s", "--boards 2 --offset +1s", "+1s|||"},
        {"KORVIC_SIM_OFFSET_2=5s", "--boards 2", "|5s||"},
        {"KORVIC_SIM_OFFSET_2=5s", "--boards 2 --offset 2:7s", "|7s||"},
    };
    for (const Case &c : cases) {
        const Result r = run("env " + c.env + " " + sim + " " + c.options +
                             " -- sh -c 'echo \"$KORVIC_SIM_OFFSET|$KORVIC_SIM_OFFSET_2|"
                             "$KORVIC_SIM_STOP_AT|$KORVIC_SIM_STOP_AT_2\"'");
        EXPECT_EQ(r.status, 0) << c.options << "\n" << r.err;
        EXPECT_EQ(r.out, c.want + "\n") << c.env << " " << c.options;
    }
}

// The external event signal of board 2 is board 2's.
TEST_F(Boards, ExternalEventSignalOfOneBoard) {
    const Result r =
        run(sim +
            " --boards 2 --start @1000 --step 1us --ext-signal 2:USR1 --workdir work"
            " -- sh -c 'mkdir b2 && cp korvic_cfg.2.dat b2/korvic_cfg.dat && cd b2 && " +
            client + " event'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "event 1970-000 00:16:40.000001\n");
}

// ---------------------------------------------------------------------------------------
// The board's clock at chosen moments.
// ---------------------------------------------------------------------------------------

// On the virtual clock the moments are the board's own time since its start, so a run is
// exact to the access. Each reading is six accesses (three strobes, three loads) at 1 ms
// each and latches at its third: readings at 3, 9, 15, ... ms.
TEST_F(Boards, ClockFaultsOnTheVirtualClockAreExact) {
    write_cfg(cfg_devices);
    struct Case {
        const char *options;
        std::vector<std::int64_t> board_ms;  // board time since the start, per reading
    };
    const Case cases[] = {
        // Stands still from 20 ms for 30 ms, runs on 30 ms behind, then jumps 1 s.
        {"--stop-at 20ms:30ms --jump-at 80ms:+1s",
         {3, 9, 15, 20, 20, 20, 20, 20, 21, 27, 33, 39, 45, 1051, 1057, 1063}},
        // 10 % fast.
        {"--drift 100000", {3, 9, 15, 21}},
        // Standing to the end.
        {"--stop-at 10ms", {3, 9, 10, 10, 10}},
        // A step back: time runs again over what it showed.
        {"--jump-at 10ms:-8ms", {3, 9, 7, 13}},
        // A step at the power-up is in place from the first access.
        {"--jump-at 0s:+1s", {1003, 1009}},
    };
    for (const Case &c : cases) {
        const Result r = run(sim + " --start @1000 --step 1ms " + c.options + " -- " + client +
                             " series " + std::to_string(c.board_ms.size()));
        ASSERT_EQ(r.status, 0) << c.options << "\n" << r.err;
        std::vector<std::int64_t> got;
        for (const auto &row : numbers(r.out))
            got.push_back(row.at(1) - 1000 * kSecond);
        std::vector<std::int64_t> want;
        for (const std::int64_t ms : c.board_ms)
            want.push_back(std::string(c.options).find("drift") != std::string::npos
                               ? ms * kMs + ms * kMs / 10
                               : ms * kMs);
        EXPECT_EQ(got, want) << c.options;
    }
}

// A leap second through the launcher, on the virtual clock at 100 ms an access: a reading
// latches at its third access, so at 58.8 s, 59.4 s, then every 600 ms of the oscillator.
// korvic::Board reads 23:59:60 as the minute's last microsecond and a repeated 23:59:59 as
// shown; the C API's mode 3 keeps its arithmetic, in which 23:59:60 is the next minute.
TEST_F(Boards, ALeapSecondEachWayTheBoardShowsIt) {
    write_cfg(cfg_devices);
    constexpr std::int64_t kLeap = 1'483'228'800 * kSecond;  // 2017-01-01T00:00:00Z
    const std::int64_t last = kLeap - 1;
    const struct {
        const char *leap;
        const char *client;
        std::vector<std::int64_t> from_leap_ms;  // each reading, from the leap's instant
    } cases[] = {
        {":60", "board-series", {-1200, -600, last - kLeap, last - kLeap, 200, 800}},
        {":repeat", "board-series", {-1200, -600, -1000, -400, 200, 800}},
        {":delete", "board-series", {-1200, 400, 1000, 1600, 2200, 2800}},
        {":60", "series", {-1200, -600, 0, 600, 200, 800}},
    };
    for (const auto &c : cases) {
        const Result r =
            run(sim + " --start 2016-12-31T23:59:58.5 --step 100ms --leap-at " +
                "2017-01-01T00:00:00Z" + c.leap + " -- " + client + " " + c.client + " 6");
        ASSERT_EQ(r.status, 0) << c.leap << "\n" << r.err;
        std::vector<std::int64_t> got;
        for (const auto &row : numbers(r.out))
            got.push_back(row.at(1) - kLeap);
        std::vector<std::int64_t> want;
        for (const std::int64_t ms : c.from_leap_ms)
            want.push_back(ms == last - kLeap ? ms : ms * kMs);
        EXPECT_EQ(got, want) << c.leap << " " << c.client;
    }
}

// Status bits forced at moments of the virtual clock, in the status word latched with each
// sample (bits 15..8; 13 running, 8 set by the model): bit 8 cleared from 20 ms for 30 ms,
// bit 10 set from 40 ms on. A sample is six accesses at 1 ms; its word is its fourth.
TEST_F(Boards, StatusBitsForcedAtMomentsShowInTheSamples) {
    write_cfg(cfg_devices);
    const Result r = run(sim + " --start @1000 --step 1ms --status-at 20ms:8=0:30ms " +
                         "--status-at 40ms:10=1 -- " + client + " board-samples 10");
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::uint32_t> bits;
    for (const auto &row : numbers(r.out))
        bits.push_back(static_cast<std::uint32_t>(row.at(1)) >> 8 & 0xFFu);
    // Status words at 4, 10, 16, 22, 28, ... 58 ms.
    EXPECT_EQ(bits, (std::vector<std::uint32_t>{0x21, 0x21, 0x21, 0x20, 0x20, 0x20, 0x24, 0x24,
                                                0x25, 0x25}));
}

// On the host's clock the moments are host time since the boards were powered up: the
// board keeps the host's time, stands still for the window, runs on that far behind, then
// jumps. Readings are classified by what they show (a scheduling delay between the host's
// reading and the board's only makes the board look later), in that order.
TEST_F(Boards, ClockFaultsOnTheHostsClock) {
    write_cfg(cfg_devices);
    const Result r =
        run(sim + " --stop-at 500ms:600ms --jump-at 1500ms:+3s -- " + client + " series-for 2000");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = numbers(r.out);
    ASSERT_FALSE(rows.empty());
    std::map<std::int64_t, int> counts;
    for (const auto &row : rows)
        ++counts[row.at(1)];
    const auto standing =
        std::max_element(counts.begin(), counts.end(), [](const auto &a, const auto &b) {
            return a.second < b.second;
        })->first;
    const std::int64_t slack = 250 * kMs;
    const auto near = [&](std::int64_t offset, std::int64_t want) {
        return offset >= want - 2 * kMs && offset <= want + slack;
    };
    int phase = 0;
    std::map<int, int> seen;
    for (const auto &row : rows) {
        const std::int64_t offset = row.at(1) - row.at(0);
        int p = -1;
        if (row.at(1) == standing)
            p = 1;
        else if (near(offset, 0))
            p = 0;
        else if (near(offset, -600 * kMs))
            p = 2;
        else if (near(offset, 3 * kSecond - 600 * kMs))
            p = 3;
        ASSERT_GE(p, phase) << "board " << row.at(1) << ", host " << row.at(0);
        phase = p;
        ++seen[p];
    }
    EXPECT_GE(seen[1], 2) << "the board never stood still";
    EXPECT_GE(seen[2], 1) << "the board did not run on behind";
    EXPECT_GE(seen[3], 1) << "the board did not jump";
}

// A jump at the power-up, on the host's clock, with a start time of its own: the board
// reads its start plus the jump plus the time run since, not the start alone.
TEST_F(Boards, AJumpAtPowerUpOnTheHostsClock) {
    write_cfg(cfg_devices);
    const Result r = run(sim + " --start @1000 --jump-at 0s:+10s -- " + client + " series 1");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = numbers(r.out);
    ASSERT_EQ(rows.size(), 1u) << r.out;
    EXPECT_GE(rows[0].at(1), 1010 * kSecond);
    EXPECT_LT(rows[0].at(1), 1011 * kSecond);
}

// ---------------------------------------------------------------------------------------
// Robustness and the run's files.
// ---------------------------------------------------------------------------------------

// A program killed while it holds the run's lock (here: blocked in writing its trace line,
// which happens inside the access, to a pipe that nobody reads) does not hang the next
// program's accesses.
TEST_F(Boards, AProcessKilledInsideAnAccessDoesNotHangTheNext) {
    write_cfg(cfg_devices);
    const auto held = hold_run("--virtual");
    ASSERT_FALSE(run_env.empty()) << held->seen();
    int trace = -1;
    {
        const auto holder = stuck_in_access(trace);
        ASSERT_NE(holder, nullptr);
        kill(holder->pid(), SIGKILL);
        EXPECT_EQ(holder->wait(), 128 + SIGKILL);
    }
    close(trace);
    // Standard error with the output: the board lock went with the holder, nothing to say.
    Child next({client, "time"}, run_env, dir, 1);
    EXPECT_EQ(next.wait(), 0) << "the next program hung or failed";
    EXPECT_EQ(next.seen().rfind("time ", 0), 0u) << next.seen();
    EXPECT_EQ(next.seen().find("lock"), std::string::npos) << next.seen();
    Child board({client, "board-series", "1"}, run_env, dir, 1);
    EXPECT_EQ(board.wait(), 0) << board.seen();
    held->close_input();
    EXPECT_EQ(held->wait(), 0);
}

// The run's directory (under $TMPDIR) holds the boards' state while the program runs; it
// is gone as soon as the program has exited, and soon after a program killed by a signal.
TEST_F(Boards, TheRunsFilesGoWithTheProgram) {
    const Result r = run(sim +
                         " -- sh -c 'test -f \"$KORVIC_SIM_SHARED\" && dirname "
                         "\"$KORVIC_SIM_SHARED\"'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind((dir / "scratch" / "korvic_sim.").string(), 0), 0u) << r.out;
    EXPECT_TRUE(fs::is_empty(dir / "scratch")) << "not gone when the program exited";

    const Result killed = run(sim + " -- sh -c 'kill -9 $$'");
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    for (int i = 0; i < 6000 && !fs::is_empty(dir / "scratch"); ++i)
        usleep(10000);
    EXPECT_TRUE(fs::is_empty(dir / "scratch")) << "left behind by a program killed";
}

// When nothing of a run is left to remove its files (program and watcher killed), the
// next launcher removes them.
TEST_F(Boards, TheNextLauncherRemovesTheFilesOfARunKilledOutright) {
    const auto held = hold_run("");
    const std::string state = run_env_value("KORVIC_SIM_SHARED");
    ASSERT_FALSE(state.empty()) << held->seen();
    const fs::path run_dir = fs::path(state).parent_path();
    // The watcher is the process that holds the owner record open.
    pid_t watcher = -1;
    std::error_code ec;
    for (const auto &p : fs::directory_iterator("/proc", ec)) {
        std::error_code fd_ec;
        for (const auto &fd : fs::directory_iterator(p.path() / "fd", fd_ec))
            if (fs::read_symlink(fd.path(), fd_ec) == run_dir / ".korvic_sim.owner")
                watcher = static_cast<pid_t>(std::atol(p.path().filename().c_str()));
    }
    ASSERT_GT(watcher, 0);
    // Board 1's device file, in /dev/shm, named after the state file.
    struct stat st {};
    ASSERT_EQ(stat(state.c_str(), &st), 0);
    char device[96];
    std::snprintf(device, sizeof device, "/dev/shm/korvic_sim.%llx.%llx.1",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    EXPECT_TRUE(fs::exists(device));
    kill(watcher, SIGKILL);
    ASSERT_TRUE(ended(watcher));
    kill(held->pid(), SIGKILL);
    EXPECT_EQ(held->wait(), 128 + SIGKILL);
    ASSERT_TRUE(fs::exists(state));

    const Result r = run(sim + " -- true");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("removed " + run_dir.string() + ", left behind by an earlier korvic_sim"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(run_dir));
    EXPECT_FALSE(fs::exists(device));
}

}  // namespace
