// End to end: the korvic_sim launcher runs unchanged programs against the simulated board,
// and the machine-readable trace shows every register access they made.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out, err;
};

struct Row {
    std::string device;
    char dir;
    std::uint32_t offset;
    std::string name;
    std::uint32_t value;
    std::string note;
};

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<Row> read_tsv(const fs::path &p) {
    std::vector<Row> rows;
    std::ifstream in(p);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        std::size_t start = 0;
        for (;;) {
            const auto tab = line.find('\t', start);
            f.push_back(line.substr(start, tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        if (f.size() != 7) {
            ADD_FAILURE() << "bad trace line: " << line;
            continue;
        }
        rows.push_back({f[1], f[2][0], static_cast<std::uint32_t>(std::stoul(f[3], nullptr, 16)),
                        f[4], static_cast<std::uint32_t>(std::stoul(f[5], nullptr, 16)), f[6]});
    }
    return rows;
}

std::vector<Row> only(const std::vector<Row> &rows, const std::string &device) {
    std::vector<Row> out;
    for (const Row &r : rows)
        if (r.device == device)
            out.push_back(r);
    return out;
}

class SimE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/korvic_sim_e2e.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    void write_cfg(const std::string &body) { std::ofstream(dir / "korvic_cfg.dat") << body; }

    // Runs `args` (a shell-quoted command line) in dir with `input` on standard input.
    Result run(const std::string &args, const std::string &input = "") {
        std::ofstream(dir / "stdin.txt") << input;
        const std::string cmd =
            "cd '" + dir.string() + "' && " + args + " <stdin.txt >stdout.txt 2>stderr.txt";
        const int rc = std::system(cmd.c_str());
        Result r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
        r.out = slurp(dir / "stdout.txt");
        r.err = slurp(dir / "stderr.txt");
        return r;
    }

    fs::path dir;
    const std::string sim = KORVIC_SIM_BIN;
    const std::string client = SIM_CLIENT_BIN;
    const std::string cfg_devices =
        "MEM_PATH=/dev/korvic_sim/board\nINT_PATH=/dev/korvic_sim/bridge\n";
};

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
    const std::string opts = " --start 2026-100T12:34:56.5 --step 1us";
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
    EXPECT_NE(r.err.find("bad bus order"), std::string::npos);
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
         {"--trace", "--trace-tsv", "--start", "--virtual", "--step", "--bus-order", "--ext-period",
          "--ext-signal", "--mem-path", "--int-path", "--workdir"})
        EXPECT_NE(r.out.find(opt), std::string::npos) << opt;
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
    const Result r = run(sim + " --start 2026-100T12:34:56 --step 1us --trace-tsv t.tsv -- " +
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
    EXPECT_NE(r.err.find("korvic_sim: cannot open the simulated bridge device: Too many open "
                         "files (no descriptor left)"),
              std::string::npos)
        << r.err;
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
        run(sim + " --start 2026-100T12:34:56 " + c.options + " -- " SIM_SIGNALS_BIN " " + c.args);
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
