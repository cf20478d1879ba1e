// End to end: the korvic_sim launcher runs unchanged programs against the simulated board,
// and the machine-readable trace shows every register access they made.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace {

using namespace korvic::sim_test;

TEST_F(SimE2E, PositionFreezeIsThreeStrobesThenFourReads) {
    write_cfg(cfg_devices);
    const Result r = run(sim + " --virtual --trace-tsv trace.tsv -- " + client + " position");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<Row> rows = only(read_tsv(dir / "trace.tsv"), "board");
    ASSERT_EQ(rows.size(), 7u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rows[i].dir, 'W');
        EXPECT_EQ(rows[i].offset, 0xFCu);
        EXPECT_EQ(rows[i].value, 255u);
        EXPECT_EQ(rows[i].name, "TIME_STATUS0");
        EXPECT_NE(rows[i].note.find("position freeze strobe"), std::string::npos);
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rows[3 + i].dir, 'R');
        EXPECT_EQ(rows[3 + i].offset, 0x108u + 4 * i);
    }
    EXPECT_NE(r.out.find("position "), std::string::npos);
}

TEST_F(SimE2E, EnableIntOrsIntoTheBridgeWord) {
    write_cfg(cfg_devices + "ENABLE_INT\nENABLE_INT\n");
    const Result r = run(sim + " --trace-tsv trace.tsv -- " + client + " attach");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::vector<Row> rows = only(read_tsv(dir / "trace.tsv"), "bridge");
    ASSERT_EQ(rows.size(), 4u);
    // Two lines, two bridge openings: each one load and one store of the word at 0x4C,
    // which keeps what the first OR set.
    EXPECT_EQ(rows[0].dir, 'R');
    EXPECT_EQ(rows[0].value, 0u);
    EXPECT_EQ(rows[1].dir, 'W');
    EXPECT_EQ(rows[1].offset, 0x4Cu);
    EXPECT_EQ(rows[1].value, 0x49u);
    EXPECT_EQ(rows[1].name, "PLX_INTCSR");
    EXPECT_EQ(rows[2].value, 0x49u);
    EXPECT_EQ(rows[3].value, 0x49u);
    EXPECT_TRUE(only(read_tsv(dir / "trace.tsv"), "board").empty());
}

TEST_F(SimE2E, VirtualStartTimeReadsBackInBothBusOrders) {
    write_cfg(cfg_devices + "BYTE_SWAP=1\n");
    const std::string opts = " --start 2026+100dT12:34:56.5 --step 1us";
    Result r = run(sim + opts + " --bus-order swapped -- " + client + " time");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The third strobe is the third access: 3 us after the start.
    EXPECT_EQ(r.out, "time 2026-100 12:34:56.500003\n");

    // The same board read without byte swapping gives nonsense.
    write_cfg(cfg_devices + "BYTE_SWAP=0\n");
    r = run(sim + opts + " --bus-order swapped -- " + client + " time");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out, "time 2026-100 12:34:56.500003\n");

    r = run(sim + opts + " --bus-order native -- " + client + " time");
    EXPECT_EQ(r.out, "time 2026-100 12:34:56.500003\n");
}

TEST_F(SimE2E, SignalRequestsAnExternalEvent) {
    write_cfg(cfg_devices);
    const Result r = run(sim + " --start @1000 --step 1us --ext-signal USR1 --trace-tsv t.tsv -- " +
                         client + " event");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Captured at the next register access, the first of the reader's: 1 us after start.
    EXPECT_EQ(r.out, "event 1970-000 00:16:40.000001\n");
    const std::vector<Row> rows = only(read_tsv(dir / "t.tsv"), "board");
    ASSERT_FALSE(rows.empty());
    EXPECT_NE(rows[0].note.find("external event captured at 1970-000 00:16:40.000001"),
              std::string::npos);
}

// The interrupt node's contract, as a program sees it: each check in a run of its own.
TEST_F(SimE2E, TheInterruptNodeBehavesAsTheKernelsNode) {
    const std::string check = SIM_NODE_CHECK_BIN;
    const struct {
        const char *name, *options, *out;
    } checks[] = {
        {"idle", "--ext-signal USR1", "armed, nothing raised: poll timed out after 300 ms\n"},
        {"wake", "--ext-signal USR1",
         "event: woken, count +1\nstatus bit 10 (external event) set\n"},
        {"masked", "--ext-signal USR1",
         "event: woken, count +1\nevent while masked: poll timed out after 300 ms\n"
         "re-armed, event unread: poll timed out after 300 ms\n"
         "event read, re-armed, event: woken, count +1\n"},
        {"errors", "",
         "read of 8 bytes: Invalid argument\nread of 2 bytes: Invalid argument\n"
         "write of 8 bytes: Invalid argument\nwrite of 2: Invalid argument\n"
         "write of -1: Invalid argument\n"
         "non-blocking read, no event: Resource temporarily unavailable\n"
         "mmap: No such device\nblocking read, SIGALRM after 200 ms: Interrupted system call\n"},
        {"processes", "--ext-signal USR1", "parent: woken, count +1\nchild: woken, count 1\n"},
        {"virtual", "--virtual --start 2026-03-28T12:00:00.250 --step 1us --ext-period 1s",
         "wait: woken, count +1\nevent at 12:00:01.000000\n"},
    };
    for (const auto &c : checks) {
        const Result r = run(sim + " " + c.options + " -- " + check + " " + c.name);
        EXPECT_EQ(r.status, 0) << c.name << ": " << r.out << r.err;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
    }
}

TEST_F(SimE2E, OtherFilesOpenAsUsual) {
    std::ofstream(dir / "plain.txt") << "hello board\n";
    const Result r = run(sim + " -- " + client + " files plain.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "read: hello board\n");
}

TEST_F(SimE2E, WithoutTheLauncherTheDeviceIsMissing) {
    write_cfg(cfg_devices);
    const Result r = run(client + " attach");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("open mempath"), std::string::npos);
}

TEST_F(SimE2E, LauncherRefusesBadOptionsAndMissingPreload) {
    Result r = run(sim + " --bus-order sideways -- true");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "korvic_sim: --bus-order \"sideways\": neither native nor swapped\n");
    r = run(sim + " --step 5parsecs -- true");
    EXPECT_EQ(r.status, 2);
    r = run(sim + " --frobnicate -- true");
    EXPECT_EQ(r.status, 2);
    r = run("KORVIC_SIM_PRELOAD=/nonexistent/lib.so " + sim + " -- true");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot find the preload library"), std::string::npos);
    r = run(sim + " --help");
    EXPECT_EQ(r.status, 0);
    for (const char *opt :
         {"--boards", "--trace", "--trace-tsv", "--start", "--virtual", "--step", "--offset",
          "--drift", "--stop-at", "--jump-at", "--status-at", "--leap-at", "--bus-order",
          "--ext-period", "--ext-signal", "--mem-path", "--int-path", "--workdir"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
}

// Every usage error: one line naming the option (or variable) and the value, status 2, and
// nothing done: no program started, no trace file made or emptied, no directory made.
TEST_F(SimE2E, UsageErrorsExitTwoBeforeAnythingRuns) {
    write_cfg(cfg_devices);
    std::ofstream(dir / "old.tsv") << "an earlier run\n";
    const std::string too_long = "/" + std::string(kMaxPathLength, 'p');
    struct Case {
        std::string args;
        std::string message;
    };
    const Case cases[] = {
        {"--ext-signal 11", "--ext-signal \"11\": SIGSEGV used by the simulator's trap engine"},
        {"--ext-signal SIGSEGV", "--ext-signal \"SIGSEGV\": SIGSEGV used by the simulator's"},
        {"--ext-signal 5", "--ext-signal \"5\": SIGTRAP used by the simulator's trap engine"},
        {"--ext-signal 9", "--ext-signal \"9\": SIGKILL cannot be caught"},
        {"--ext-signal 19", "--ext-signal \"19\": SIGSTOP cannot be caught"},
        {"--ext-signal=TERM", "--ext-signal \"TERM\": SIGTERM used by the launcher"},
        {"--ext-signal 33", "--ext-signal \"33\": signal 33 reserved by the C library"},
        {"--step 999999999999h", "--step \"999999999999h\": too large"},
        {"--ext-period 999999999999h", "--ext-period \"999999999999h\": too large"},
        {"--step 2562047h", "--step \"2562047h\": more than 24h per register access"},
        {"--step 250", "--step \"250\": no unit (ns, us, ms, s, min or h)"},
        {"--ext-period 0", "--ext-period \"0\": a period of 0"},
        {"--start '2026-02-31 00:00:00'", "--start \"2026-02-31 00:00:00\": February 2026 has no"},
        {"--start '2026-02-29 00:00:00'", "--start \"2026-02-29 00:00:00\": February 2026 has no"},
        {"--start @999999999999", "--start \"@999999999999\": after the year 9999"},
        {"--mem-path ''", "--mem-path \"\": an empty value"},
        {"--mem-path '/dev/a b'", "--mem-path \"/dev/a b\": a blank or a control character"},
        {"--int-path " + too_long, "--int-path \"/" + std::string(35, 'p') + "..." +
                                       std::string(36, 'p') + "\": longer than the 118"},
        // What was typed is shown on one line, escaped, and cut when long.
        {R"~(--start "$(printf '2026-01-01\n12:00:00')")~",
         R"~(--start "2026-01-01\n12:00:00": not a time)~"},
        {R"~(--bus-order "$(printf '\033]0;title\007')")~",
         R"~(--bus-order "\e]0;title\a": neither native nor swapped)~"},
        {R"~(--step "$(head -c 120000 /dev/zero | tr '\0' 9)s")~",
         "--step \"" + std::string(36, '9') + "..." + std::string(35, '9') + "s\": too large"},
        {R"~(--frob"$(printf '\t')"x)~", R"~(unknown option --frob\tx (see --help))~"},
        {"--int-path /dev/korvic_sim/board",
         "the register device and the bridge device have the same path "
         "\"/dev/korvic_sim/board\""},
        {"--virtual=no", "--virtual takes no value (given \"no\")"},
        {"--help=x", "--help takes no value (given \"x\")"},
        {"--workdir=", "--workdir \"\": an empty value"},
        {"--workdir w --trace /nonexistent/t.log",
         "cannot write the trace file /nonexistent/t.log: No such file or directory"},
        {"--frobnicate", "unknown option --frobnicate (see --help)"},
        // Boards and their prefixes.
        {"--boards 65", "--boards \"65\": not a number of boards from 1 to 64"},
        {"--boards=0", "--boards \"0\": not a number of boards from 1 to 64"},
        {"--offset 2:+1s", "--offset \"2:+1s\": no board 2 (1 board; see --boards)"},
        {"--offset 3:+1s --boards 2", "--offset \"3:+1s\": no board 3 (2 boards; see --boards)"},
        {"--stop-at 0:5s", "--stop-at \"0:5s\": no board 0 (boards are numbered from 1 to at most"},
        {"--ext-period 99:1s", "--ext-period \"99:1s\": no board 99 (boards are numbered"},
        {"--offset 2:", "--offset \"2:\": an empty value"},
        {"--boards 2 --mem-path /dev/x", "boards 1 and 2 have the same device path \"/dev/x\""},
        // Offsets, rate errors, stand-stills and jumps.
        {"--offset +1s --virtual", "--offset and --virtual exclude each other"},
        {"--step 1us --offset 1s", "--offset and --virtual exclude each other"},
        {"--offset 1s --start @100", "--offset and --start both set the board's time at power-up"},
        {"--boards 2 --offset 2:250 ", "--offset \"2:250\": no unit (ns, us, ms, s, min or h)"},
        {"--offset 1.5us", "--offset \"1.5us\": finer than a microsecond"},
        {"--drift 2:fast --boards 2", "--drift \"2:fast\": not a rate error in ppm"},
        {"--drift 100001", "--drift \"100001\": more than 100000 ppm either way"},
        {"--stop-at 1s:5s --stop-at 3s",
         "--stop-at: the stand-stills 1s:5s and 3s of the board overlap"},
        {"--stop-at 3s:0", "--stop-at \"3s:0\": a stand-still of 0"},
        {"--jump-at 3s", "--jump-at \"3s\": not AT:STEP (3s:+2s)"},
        {"--jump-at 3s:0s", "--jump-at \"3s:0s\": a jump of 0"},
        {"--status-at 10s:9=0", "--status-at \"10s:9=0\": bit 9 is the compare event flag"},
        {"--status-at 2:1s:8=0", "--status-at \"2:1s:8=0\": no board 2"},
        {"--leap-at 2017-01-01T00:00:30Z", "--leap-at \"2017-01-01T00:00:30Z\": not at a whole"},
    };
    for (const Case &c : cases) {
        const Result r = run(sim + " --trace-tsv old.tsv " + c.args + " -- sh -c 'touch ran'");
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err.rfind("korvic_sim: " + c.message, 0), 0u) << c.args << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir / "ran")) << c.args;
        EXPECT_FALSE(fs::exists(dir / "w")) << c.args;
        EXPECT_EQ(slurp(dir / "old.tsv"), "an earlier run\n") << c.args;
    }
    // A variable is checked as its option is, before anything runs.
    const Result r = run("KORVIC_SIM_STEP=999999999999h " + sim + " -- sh -c 'touch ran'");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "korvic_sim: KORVIC_SIM_STEP=\"999999999999h\": too large\n");
    EXPECT_FALSE(fs::exists(dir / "ran"));
    // An option wins over a bad variable of the same meaning, which is then not looked at;
    // an option without K: over the board variables too.
    EXPECT_EQ(run("KORVIC_SIM_STEP=bogus " + sim + " --step 1us -- true").status, 0);
    EXPECT_EQ(run("KORVIC_SIM_OFFSET_2=bogus " + sim + " --boards 2 --offset 1s -- true").status,
              0);
    // A board variable is checked as its option is.
    const Result board = run("KORVIC_SIM_BOARDS=2 KORVIC_SIM_OFFSET_2=1x " + sim + " -- true");
    EXPECT_EQ(board.status, 2);
    EXPECT_EQ(
        board.err,
        "korvic_sim: KORVIC_SIM_OFFSET_2=\"1x\": unknown unit \"x\" (ns, us, ms, s, min or h)\n");
}

// The launcher makes the trace files once; every process of the run adds to them: the
// human form names each process before its accesses, the machine form has one header and
// each line's pid.
TEST_F(SimE2E, TraceKeepsEveryProcessOfARun) {
    write_cfg(cfg_devices);
    std::ofstream(dir / "t.log") << "an earlier run\n";
    std::ofstream(dir / "t.tsv") << "an earlier run\n";
    const Result r = run(sim + " --virtual --trace t.log --trace-tsv t.tsv -- sh -c '" + client +
                         " position; " + client + " time'");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string tsv = slurp(dir / "t.tsv");
    EXPECT_EQ(tsv.rfind("#seq\tdevice\tdir\toffset\tname\tvalue\tnote\tpid\n", 0), 0u) << tsv;
    EXPECT_EQ(tsv.find("\n#"), std::string::npos) << tsv;
    const std::vector<Row> rows = read_tsv(dir / "t.tsv");
    ASSERT_EQ(rows.size(), 7u + 6u);
    // One sequence for the run: the second process's accesses number on from the first's.
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const bool first = i < 7;
        EXPECT_EQ(rows[i].pid, rows[first ? 0 : 7].pid) << i;
        EXPECT_EQ(rows[i].seq, i + 1) << i;
    }
    EXPECT_NE(rows[0].pid, rows[7].pid);
    EXPECT_EQ(rows[0].value, 255u);         // position freeze strobe
    EXPECT_EQ(rows[7].value, 0xFFFFFFFFu);  // snapshot strobe

    std::istringstream human(slurp(dir / "t.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(human, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u + 7u + 6u);
    const std::string program = fs::canonical(client).string();
    EXPECT_EQ(lines[0], "# process " + std::to_string(rows[0].pid) + ": " + program);
    EXPECT_EQ(lines[8], "# process " + std::to_string(rows[7].pid) + ": " + program);
    EXPECT_NE(lines[1].find("  W  board  0x0fc  TIME_STATUS0"), std::string::npos) << lines[1];
}

// A trace that cannot be written is said at once, once per process, and the run fails: a
// process that would have ended with 0 ends with 1 (by exit, by _exit, or as the run's
// program when another process lost its trace); any other status stays.
TEST_F(SimE2E, ATraceThatCannotBeWrittenFailsTheRun) {
    write_cfg(cfg_devices);
    const std::string said =
        "korvic_sim: cannot write the trace file /dev/full: No space left on device";
    const struct {
        std::string program;
        int status;
    } cases[] = {
        {client + " time", 1},
        {client + " time-then-_exit", 1},
        {"sh -c '" + client + " time; true'", 1},
        {"sh -c '" + client + " time; exit 3'", 3},
    };
    for (const auto &[program, status] : cases) {
        const Result r = run(sim + " --virtual --trace /dev/full -- " + program);
        EXPECT_EQ(r.status, status) << program << "\n" << r.err;
        EXPECT_EQ(r.out.rfind("time ", 0), 0u) << program << ": " << r.out;
        EXPECT_EQ(r.err.rfind(said, 0), 0u) << program << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

// Lines of processes running at once never mix: every line of both forms is whole. The
// accesses of both take one sequence: each number once, each process's rising, and the
// lines of the file in the order of the accesses.
TEST_F(SimE2E, ConcurrentProcessesWriteWholeLines) {
    write_cfg(cfg_devices);
    const Result r = run(sim + " --virtual --trace t.log --trace-tsv t.tsv -- sh -c '" + client +
                         " times 400 & " + client + " times 400; wait'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<long, std::uint64_t> per_process, last_seq;
    std::uint64_t rows = 0;
    for (const Row &row : read_tsv(dir / "t.tsv")) {
        EXPECT_EQ(row.seq, ++rows);
        EXPECT_GT(row.seq, last_seq[row.pid]) << row.pid;
        last_seq[row.pid] = row.seq;
        ++per_process[row.pid];
    }
    EXPECT_EQ(rows, 2u * 400u * 6u);
    ASSERT_EQ(per_process.size(), 2u);
    for (const auto &[pid, n] : per_process)
        EXPECT_EQ(n, 400u * 6u) << pid;
    std::istringstream human(slurp(dir / "t.log"));
    int processes = 0, accesses = 0;
    for (std::string line; std::getline(human, line);) {
        if (line.rfind("# process ", 0) == 0)
            ++processes;
        else if (line.size() > 20 && line.compare(9, 11, "  board  0x") == 0)
            ++accesses;
        else
            ADD_FAILURE() << "mixed line: " << line;
    }
    EXPECT_EQ(processes, 2);
    EXPECT_EQ(accesses, 2 * 400 * 6);
}

// With --workdir and a program, the launcher prepares the directory and runs the program
// there; a program path with a slash is taken from where korvic_sim was started.
TEST_F(SimE2E, WorkdirWithAProgramRunsItThere) {
    std::ofstream(dir / "where.sh") << "#!/bin/sh\npwd\nexec " << client << " time\n";
    fs::permissions(dir / "where.sh", fs::perms::owner_all);
    const Result r =
        run(sim + " --start '2026+100d 12:34:56' --step 1us --workdir work -- ./where.sh");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fs::canonical(dir / "work").string() + "\ntime 2026-100 12:34:56.000003\n");
    EXPECT_EQ(
        slurp(dir / "work" / "korvic_cfg.dat").rfind("# korvic_cfg.dat written by korvic_sim\n", 0),
        0u);
}

// KORVIC_CONFIG names the working directory's own korvic_cfg.dat (after --workdir) where
// there is one, else board 1's in the run's directory, which holds every board's; an
// inherited value is replaced, and said so.
TEST_F(SimE2E, ProgramsFindTheBoardsThroughKorvicConfig) {
    const std::string show =
        " -- sh -c 'printf \"%s\\n\" \"$KORVIC_CONFIG\" && grep -h MEM_PATH "
        "\"$KORVIC_SIM_RUN_DIR\"/korvic_cfg*.dat'";
    const std::string board1 = "MEM_PATH=/dev/korvic_sim/board\n";
    const struct {
        bool own_cfg;         // the working directory has a korvic_cfg.dat
        std::string before;   // before korvic_sim on the command line
        std::string options;  // korvic_sim's
        std::string config;   // KORVIC_CONFIG; RUN: the run's directory
        std::string devices;  // MEM_PATH= of the run directory's files
        std::string err;      // korvic_sim's standard error
    } cases[] = {
        {false, "", "", "RUN/korvic_cfg.dat", board1, ""},
        {true, "", "", "korvic_cfg.dat", board1, ""},
        {false, "", "--workdir work", "korvic_cfg.dat", board1, ""},
        {false, "", "--boards 2", "RUN/korvic_cfg.dat",
         "MEM_PATH=/dev/korvic_sim/board2\n" + board1, ""},  // korvic_cfg.2.dat comes first
        {false, "KORVIC_CONFIG=/etc/korvic/korvic_cfg.dat ", "", "RUN/korvic_cfg.dat", board1,
         "korvic_sim: KORVIC_CONFIG=/etc/korvic/korvic_cfg.dat replaced by RUN/korvic_cfg.dat for "
         "this run\n"},
        {true, "KORVIC_CONFIG=korvic_cfg.dat ", "", "korvic_cfg.dat", board1, ""},
    };
    for (const auto &c : cases) {
        fs::remove(dir / "korvic_cfg.dat");
        if (c.own_cfg)
            write_cfg(cfg_devices);
        const Result r = run(c.before + sim + " " + c.options + show);
        ASSERT_EQ(r.status, 0) << c.options << r.err;
        // The run's directory: a korvic_sim.XXXXXX of the test's TMPDIR, gone by now.
        const auto at = r.out.find(dir.string() + "/scratch/korvic_sim.");
        const std::string run_dir =
            at == std::string::npos ? "" : r.out.substr(at, (dir / "scratch").string().size() + 18);
        auto with_run = [&run_dir](std::string text) {
            for (auto p = text.find("RUN"); p != std::string::npos; p = text.find("RUN", p))
                text.replace(p, 3, run_dir);
            return text;
        };
        EXPECT_EQ(r.out, with_run(c.config + "\n" + c.devices)) << c.before << c.options;
        EXPECT_EQ(r.err, with_run(c.err)) << c.before << c.options;
    }
}

// A korvic_cfg.dat that does not start with the launcher's own first line is the user's,
// even an empty one; the launcher's own is rewritten for the options of this run.
TEST_F(SimE2E, WorkdirKeepsAConfigurationFileThatIsNotOurs) {
    const std::string ours = "# korvic_cfg.dat written by korvic_sim\nBYTE_SWAP=0\n";
    struct Case {
        std::string before;
        bool kept;
    };
    const Case cases[] = {{"", true}, {"MEM_PATH=/dev/korvic_sim/board\n", true}, {ours, false}};
    fs::create_directory(dir / "work");
    for (const Case &c : cases) {
        std::ofstream(dir / "work" / "korvic_cfg.dat") << c.before;
        const Result r = run(sim + " --bus-order swapped --workdir work -- true");
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string after = slurp(dir / "work" / "korvic_cfg.dat");
        if (c.kept) {
            EXPECT_EQ(after, c.before);
            EXPECT_NE(r.err.find("keeping the existing"), std::string::npos) << r.err;
        } else {
            EXPECT_NE(after.find("BYTE_SWAP=1\n"), std::string::npos) << after;
        }
    }
}

// The longest device path a configuration line carries whole is served end to end.
TEST_F(SimE2E, LongestDevicePathIsServed) {
    const std::string longest = "/" + std::string(kMaxPathLength - 1, 'p');
    const Result r = run(sim + " --mem-path " + longest + " --workdir work -- " + client + " time");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("time ", 0), 0u) << r.out;
}

TEST_F(SimE2E, ExistingLdPreloadIsKept) {
    write_cfg(cfg_devices);
    const Result r =
        run("LD_PRELOAD= " + sim + " -- sh -c 'echo \"$LD_PRELOAD\"; echo \"$ASAN_OPTIONS\"'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("libkorvic_sim.so"), std::string::npos);
    EXPECT_NE(r.out.find("verify_asan_link_order=0"), std::string::npos);
}

// The preload library forgets a device descriptor when it is closed: a file opened later
// under the same number maps as the file, not as the board.
TEST_F(SimE2E, ClosedDeviceDescriptorReusedByAFileMapsTheFile) {
    write_cfg(cfg_devices);
    std::ofstream(dir / "plain.txt") << "plain file text\n";
    const Result r = run(sim + " -- " + client + " reuse plain.txt");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "mapped: plain file text\n");
}

// Every init_847 with ENABLE_INT keeps a bridge window for the life of the process; the
// simulator's tables grow with them.
TEST_F(SimE2E, HundredAttachmentsWithInterruptsAllSucceed) {
    write_cfg(cfg_devices + "ENABLE_INT\n");
    const Result r = run(sim + " --start 2026+100dT12:34:56 --step 1us --trace-tsv t.tsv -- " +
                         client + " reattach 100");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Bridge accesses leave the board's clock alone: the third strobe is its third access.
    EXPECT_EQ(r.out, "time 2026-100 12:34:56.000003\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(only(read_tsv(dir / "t.tsv"), "bridge").size(), 200u);  // a load and a store each
}

// A real limit (here the descriptors a process may open) is named on standard error.
TEST_F(SimE2E, ResourceLimitIsNamed) {
    write_cfg(cfg_devices + "ENABLE_INT\n");
    const Result r = run("ulimit -n 24 && " + sim + " -- " + client + " reattach 100");
    EXPECT_NE(r.status, 0);
    // The library reads its configuration before it opens a device, so the limit may be met
    // at the bridge or at the board: either way the simulator names it.
    EXPECT_THAT(r.err, ::testing::ContainsRegex("korvic_sim: cannot open the simulated "
                                                "(bridge|board) device: Too many open files "
                                                "\\(no descriptor left\\)"));
}

// ---------------------------------------------------------------------------------------
// Programs with signal handling of their own (tests/sim/sim_signals.cpp): they behave as on
// a real board.
// ---------------------------------------------------------------------------------------

// The exit status the same program has without the simulator, where it does not attach.
constexpr int kAsWithoutTheSimulator = -1;

struct SignalCase {
    const char *name;
    const char *options;  // korvic_sim options
    const char *args;     // sim_signals arguments
    int status;           // or kAsWithoutTheSimulator
    const char *out;
};

void PrintTo(const SignalCase &c, std::ostream *os) {
    *os << c.name;
}

class SimSignals : public SimE2E, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SimSignals, BehavesAsOnARealBoard) {
    const SignalCase &c = GetParam();
    write_cfg(cfg_devices + "ENABLE_INT\n");
    int status = c.status;
    if (status == kAsWithoutTheSimulator) {
        status = run(SIM_SIGNALS_BIN " " + std::string(c.args) + " unattached").status;
        EXPECT_GT(status, 128) << "not a death by a signal";
    }
    const Result r =
        run(sim + " --start 2026+100dT12:34:56 " + c.options + " -- " SIM_SIGNALS_BIN " " + c.args);
    EXPECT_EQ(r.status, status) << r.out << r.err;
    EXPECT_EQ(r.out, c.out) << r.err;
}

constexpr const char *kOwnSegvOut = "faults caught 2, register accesses served\n";
constexpr const char *kOneShotOut = "faults caught 1, register accesses served\n";
constexpr const char *kBlockedOut = "time 2026-100 read with signals blocked\n";
constexpr const char *kExtOut = "handler calls 3, board events 3\n";

INSTANTIATE_TEST_SUITE_P(
    OwnHandlers, SimSignals,
    ::testing::Values(
        // An own SIGSEGV handler installed after init_847, by each way there is: register
        // accesses never reach it, real faults do.
        SignalCase{"OwnSegvHandlerBySigaction", "", "own-segv sigaction", 0, kOwnSegvOut},
        SignalCase{"OwnSegvHandlerBySignal", "", "own-segv signal", 0, kOwnSegvOut},
        SignalCase{"OwnSegvHandlerBySsignal", "", "own-segv ssignal", 0, kOwnSegvOut},
        SignalCase{"OwnSegvHandlerByBsdSignal", "", "own-segv bsd_signal", 0, kOwnSegvOut},
        SignalCase{"OwnSegvHandlerBySysvSignal", "", "own-segv sysv_signal", 0, kOneShotOut},
        SignalCase{"OwnSegvHandlerByStrictCSignal", "", "own-segv __sysv_signal", 0, kOneShotOut},
        SignalCase{"OwnSegvHandlerBySigset", "", "own-segv sigset", 0, kOwnSegvOut},
        // Signals blocked around register accesses, by each way there is.
        SignalCase{"AllBlockedBySigprocmask", "", "block-all sigprocmask", 0, kBlockedOut},
        SignalCase{"AllBlockedByPthreadSigmask", "", "block-all pthread_sigmask", 0, kBlockedOut},
        SignalCase{"AllBlockedBySigblock", "", "block-all sigblock", 0, kBlockedOut},
        SignalCase{"FaultsHeldBySighold", "", "block-all sighold", 0, kBlockedOut},
        SignalCase{"TrapBlockedThenAByteRead", "", "trap-blocked", 0, "byte 0x08\n"},
        SignalCase{"HandlerMaskingEverySignalReadsRegisters", "", "handler-mask", 0,
                   "handler with a full mask read the registers\n"},
        SignalCase{"Int3AndRaisedTrapReachTheOwnHandler", "", "int3", 0, "traps 3\n"},
        // The external event signal with a handler of the program's own.
        SignalCase{"ExtSignalHandlerInstalledAfterAttach", "--ext-signal USR1", "ext-handler after",
                   0, kExtOut},
        SignalCase{"ExtSignalHandlerInstalledBeforeAttach", "--ext-signal USR1",
                   "ext-handler before", 0, kExtOut},
        // A fault outside the windows kills as without the simulator.
        SignalCase{"FaultWithDefaultActionKills", "", "fault default", kAsWithoutTheSimulator,
                   "faulting\n"},
        SignalCase{"FaultWhileIgnoredKills", "", "fault ignored", kAsWithoutTheSimulator,
                   "faulting\n"}),
    [](const ::testing::TestParamInfo<SignalCase> &info) { return std::string(info.param.name); });

#ifdef KORVIC_TEST_BIN
TEST_F(SimE2E, ConsoleReadsTheConfigurationRegister) {
    write_cfg(cfg_devices + "ENABLE_INT\n");
    const Result r =
        run(sim + " --trace trace.txt --trace-tsv trace.tsv -- " KORVIC_TEST_BIN, "8\n\n\n20\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("config register = "), std::string::npos) << r.out;
    bool config_read = false;
    for (const Row &row : only(read_tsv(dir / "trace.tsv"), "board"))
        config_read |= row.dir == 'R' && row.offset == 0x118u && row.name == "CONFIG";
    EXPECT_TRUE(config_read);
    EXPECT_NE(slurp(dir / "trace.txt").find("0x118  CONFIG"), std::string::npos);
}

// The directory the launcher makes for the console is gone when the console ends, whether
// it ends by its exit item or at the end of its input, and its exit status comes through.
TEST_F(SimE2E, ItsOwnWorkingDirectoryIsRemovedAfterwards) {
    fs::create_directory(dir / "tmp");
    const std::string tmpdir = "TMPDIR='" + (dir / "tmp").string() + "' ";
    struct Case {
        const char *input;
        int status;
    } cases[] = {{"8\n\n\n20\n", 0}, {"", 0}};
    for (const Case &c : cases) {
        const Result r = run(tmpdir + sim, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find("working directory " + (dir / "tmp").string()), std::string::npos);
        EXPECT_TRUE(fs::is_empty(dir / "tmp")) << "left behind after input '" << c.input << "'";
    }
}

// A launcher started in the background, as from a terminal: the test holds the console's
// standard input and reads its standard output.
class Background {
  public:
    Background(const fs::path &cwd, const std::string &tmpdir, const std::string &sim) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            const int err =
                open((cwd / "background.err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(err, 2);
            if (chdir(cwd.c_str()) != 0 || setenv("TMPDIR", tmpdir.c_str(), 1) != 0)
                _exit(126);
            execl(sim.c_str(), sim.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Background() {
        close_input();
        if (out_ >= 0)
            close(out_);
        if (pid_ > 0 && !reaped_)
            wait();
    }
    pid_t pid() const { return pid_; }
    // Reads the output until `text` appears (a minute as a way out).
    bool wait_for(const std::string &text) {
        while (seen_.find(text) == std::string::npos) {
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, 60000) <= 0)
                return false;
            char buf[4096];
            const ssize_t n = read(out_, buf, sizeof buf);
            if (n <= 0)
                return false;
            seen_.append(buf, static_cast<std::size_t>(n));
        }
        return true;
    }
    void close_input() {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }
    int wait() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return status;
    }
    const std::string &seen() const { return seen_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    bool reaped_ = false;
    std::string seen_;
};

// The process whose parent is `parent`, or -1.
pid_t child_of(pid_t parent) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = slurp(entry.path() / "stat");
        const auto paren = stat.rfind(')');
        if (paren == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(paren + 2));
        char state = 0;
        long ppid = 0;
        if (rest >> state >> ppid && ppid == parent)
            return static_cast<pid_t>(std::stol(name));
    }
    return -1;
}

// SIGTERM, or SIGHUP when the terminal closes, to the launcher: it passes the signal on to
// the console, waits for it, removes the directory and ends of the same signal.
TEST_F(SimE2E, SigtermOrSighupToTheLauncherEndsTheConsoleAndRemovesItsDirectory) {
    fs::create_directory(dir / "tmp");
    for (const int sig : {SIGTERM, SIGHUP}) {
        Background launcher(dir, (dir / "tmp").string(), sim);
        ASSERT_TRUE(launcher.wait_for("Select from")) << launcher.seen();
        const pid_t console = child_of(launcher.pid());
        ASSERT_GT(console, 0);
        EXPECT_EQ(entries(dir / "tmp").size(), 1u);
        kill(launcher.pid(), sig);
        const int status = launcher.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << ": " << status;
        EXPECT_TRUE(ended(console)) << sig;
        EXPECT_TRUE(fs::is_empty(dir / "tmp")) << sig;
    }
}

// SIGKILL cannot be caught: the console ends with its launcher all the same, and the next
// launcher removes the directory left behind.
TEST_F(SimE2E, SigkillOfTheLauncherEndsTheConsoleAndTheNextLauncherCleansUp) {
    fs::create_directory(dir / "tmp");
    std::set<std::string> left;
    {
        Background launcher(dir, (dir / "tmp").string(), sim);
        ASSERT_TRUE(launcher.wait_for("Select from")) << launcher.seen();
        const pid_t console = child_of(launcher.pid());
        ASSERT_GT(console, 0);
        kill(launcher.pid(), SIGKILL);
        launcher.wait();
        EXPECT_TRUE(ended(console));
        left = entries(dir / "tmp");
        ASSERT_EQ(left.size(), 1u);
        // The boards' shared state was left behind with it.
        EXPECT_TRUE(fs::exists(dir / "tmp" / *left.begin() / ".korvic_sim.state"));
    }
    const Result r = run("TMPDIR='" + (dir / "tmp").string() + "' " + sim, "20\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("removed " + (dir / "tmp" / *left.begin()).string() +
                         ", left behind by an earlier korvic_sim"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
}

// Only stale directories of the launcher's own are removed: not one whose launcher still
// runs, not a look-alike without the launcher's owner record.
TEST_F(SimE2E, NextLauncherLeavesDirectoriesThatAreNotStale) {
    const fs::path tmp = dir / "tmp";
    fs::create_directories(tmp / "korvic_sim.abcdef");
    std::ofstream(tmp / "korvic_sim.abcdef" / "korvic_cfg.dat")
        << "# korvic_cfg.dat written by korvic_sim\n";
    Background live(dir, tmp.string(), sim);
    ASSERT_TRUE(live.wait_for("Select from")) << live.seen();
    const std::set<std::string> before = entries(tmp);
    ASSERT_EQ(before.size(), 2u);
    const Result r = run("TMPDIR='" + tmp.string() + "' " + sim, "20\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("removed"), std::string::npos) << r.err;
    EXPECT_EQ(entries(tmp), before);
    live.close_input();  // end of input ends the console
    const int status = live.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(entries(tmp), std::set<std::string>{"korvic_sim.abcdef"});
}

TEST_F(SimE2E, WithoutAProgramTheConsoleStartsInAPreparedDirectory) {
    const Result r =
        run(sim + " --bus-order swapped --trace-tsv trace.tsv --workdir work", "8\n\n\n20\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("config register = "), std::string::npos);
    const std::string cfg = slurp(dir / "work" / "korvic_cfg.dat");
    EXPECT_NE(cfg.find("MEM_PATH=/dev/korvic_sim/board\n"), std::string::npos);
    EXPECT_LT(cfg.find("INT_PATH=/dev/korvic_sim/bridge\n"), cfg.find("ENABLE_INT\n"));
    EXPECT_NE(cfg.find("BYTE_SWAP=1\n"), std::string::npos);
    EXPECT_FALSE(only(read_tsv(dir / "trace.tsv"), "bridge").empty());

    // A korvic_cfg.dat of the user's own is kept.
    std::ofstream(dir / "work" / "korvic_cfg.dat") << "MEM_PATH=/dev/korvic_sim/board\n";
    const Result again = run(sim + " --workdir work", "20\n");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("keeping the existing"), std::string::npos);
    EXPECT_EQ(slurp(dir / "work" / "korvic_cfg.dat"), "MEM_PATH=/dev/korvic_sim/board\n");
}
#endif

}  // namespace
