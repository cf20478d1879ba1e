// korvicd end to end: the real program on the simulated board (korvic_sim), feeding a real
// chronyd. chronyd runs sandboxed: -x (it never touches the host's clock), -u root, its own
// configuration, pid file, drift file, command socket and log directory in a private 0700
// directory; every test kills it at the end. What is checked is what chronyd reports
// (chronyc -c sources), polled until it shows or a generous time-out says it never will.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chronyd_sandbox.h"
#include "core.h"
#include "korvic/board.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::Not;

using korvic::test::Chronyd;
using korvic::test::Process;
using korvic::test::Source;
using korvic::test::wait_until;

std::string slurp(const fs::path &p) {
    return korvic::test::slurp_file(p);
}

// A private directory with a korvic_cfg.dat for the simulated board, chronyd's files, and
// korvicd's output.
class KorvicdE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(access(CHRONYD_BIN, X_OK), 0)
            << CHRONYD_BIN << " not found: these tests need chrony's chronyd and chronyc "
            << "(Debian: chrony; scripts/install-deps.sh tests installs it)";
        ASSERT_EQ(access(CHRONYC_BIN, X_OK), 0) << CHRONYC_BIN << " not found";
        char tmpl[] = "/tmp/korvicd-e2e.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        ASSERT_EQ(chmod(dir.c_str(), 0700), 0);
        std::ofstream(dir / "korvic_cfg.dat")
            << "MEM_PATH=/dev/korvic_sim/board\nINT_PATH=/dev/korvic_sim/bridge\n";
        sock = (dir / "korvic.sock").string();
    }
    void TearDown() override {
        korvicd.reset();
        chronyd.reset();
        for (int unit : shm_units) {
            const int id = shmget(korvicd::shm_key(unit), 0, 0);
            if (id >= 0)
                shmctl(id, IPC_RMID, nullptr);
        }
        if (HasFailure()) {
            std::cerr << "--- korvicd's log:\n"
                      << slurp(dir / "korvicd.err") << "--- chronyd's log:\n"
                      << slurp(dir / "chronyd.err");
        }
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // chronyd with a SOCK reference clock at `sock` (refid KRVC) and, for a unit, an SHM
    // one (refid KSHM). Waits until chronyc answers.
    void start_chronyd(std::optional<int> shm_unit = std::nullopt) {
        if (shm_unit)
            shm_units.push_back(*shm_unit);
        chronyd.reset();
        chronyd = std::make_unique<Chronyd>(dir, sock, shm_unit);
        ASSERT_TRUE(chronyd->answers()) << "chronyd did not answer: " << chronyd->log();
    }
    std::map<std::string, Source> sources() { return chronyd->sources(); }
    bool reports(const std::string &refid, double want, double tolerance, Clock::duration limit,
                 Source *last = nullptr) {
        return chronyd->reports(refid, want, tolerance, limit, last);
    }

    // korvicd on the simulated board: korvic_sim [sim_args] -- korvicd args.
    void start_korvicd(const std::vector<std::string> &args,
                       const std::vector<std::string> &sim_args = {}) {
        std::vector<std::string> argv = {KORVIC_SIM_BIN};
        argv.insert(argv.end(), sim_args.begin(), sim_args.end());
        argv.push_back("--");
        argv.push_back(KORVICD_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        korvicd = std::make_unique<Process>(argv, dir, dir / "korvicd.out", dir / "korvicd.err");
    }
    std::string korvicd_log() { return slurp(dir / "korvicd.err"); }
    bool korvicd_logged(const std::string &text, Clock::duration limit = 30s) {
        return wait_until([&] { return korvicd_log().find(text) != std::string::npos; }, limit);
    }

    // Runs korvicd (not under the simulator) to its end: its exit status.
    int run_korvicd(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {KORVICD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        Process p(argv, dir, dir / "korvicd.out", dir / "korvicd.err");
        return p.wait();
    }

    fs::path dir;
    std::string sock;
    std::vector<int> shm_units;
    std::unique_ptr<Chronyd> chronyd;
    std::unique_ptr<Process> korvicd;
};

// ---------------------------------------------------------------------------------------
// chronyd sees the board.
// ---------------------------------------------------------------------------------------

TEST_F(KorvicdE2E, ChronydRestartedUnderARunningKorvicd) {
    start_chronyd();
    start_korvicd({"--sock", sock, "--rate", "4"});
    ASSERT_TRUE(reports("KRVC", 0.0, 200e-6, 15s));
    const pid_t pid = korvicd->pid();

    EXPECT_EQ(chronyd->stop(SIGTERM), 0);
    ASSERT_TRUE(korvicd_logged("chronyd not reachable at " + sock));
    start_chronyd();
    ASSERT_TRUE(reports("KRVC", 0.0, 200e-6, 15s));
    ASSERT_TRUE(korvicd_logged("chronyd takes samples again at " + sock));
    EXPECT_TRUE(korvicd->running());
    EXPECT_EQ(korvicd->pid(), pid);
    const std::string log = korvicd_log();
    // Once per outage, however many samples it lost.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
}

// ---------------------------------------------------------------------------------------
// korvicd on its own: a socket of the test's in place of chronyd.
// ---------------------------------------------------------------------------------------

class KorvicdAlone : public KorvicdE2E {
  protected:
    void SetUp() override {
        KorvicdE2E::SetUp();
        rx = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    }
    void TearDown() override {
        close(rx);
        KorvicdE2E::TearDown();
    }
    // The next datagram, waiting at most `limit`.
    std::optional<std::vector<unsigned char>> receive(std::chrono::milliseconds limit) {
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) != 1)
            return std::nullopt;
        std::vector<unsigned char> buf(128);
        const ssize_t n = recv(rx, buf.data(), buf.size(), 0);
        buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return buf;
    }
    bool nothing_sent() {
        unsigned char b[64];
        return recv(rx, b, sizeof b, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }
    int rx = -1;
};

TEST_F(KorvicdAlone, DatagramsCarryTheOffsetAndSignalsAreHandled) {
    start_korvicd({"--sock", sock, "--rate", "5", "--offset", "+250ms", "-v", "--stats", "1s"});
    const auto got = receive(30s);
    ASSERT_TRUE(got) << korvicd_log();
    ASSERT_EQ(got->size(), 40u);
    korvicd::SockSample s;
    std::memcpy(&s, got->data(), sizeof s);
    EXPECT_EQ(s.magic, korvicd::kSockMagic);
    EXPECT_EQ(s.pulse, 0);
    EXPECT_EQ(s.leap, 0);
    EXPECT_NEAR(s.offset, 0.25, 200e-6);
    timeval now{};
    gettimeofday(&now, nullptr);
    EXPECT_NEAR(static_cast<double>(s.tv.tv_sec), static_cast<double>(now.tv_sec), 5);
    // The first bursts only make the board's time trusted: nothing went out before.
    EXPECT_THAT(korvicd_log(), HasSubstr("dropped, board starting"));
    EXPECT_TRUE(korvicd_logged(": fed"));  // written just after the send

    ASSERT_TRUE(korvicd_logged("stats over 1.000000 s: kept "));
    kill(korvicd->pid(), SIGHUP);
    ASSERT_TRUE(korvicd_logged("SIGHUP: board reopened from korvic_cfg.dat"));
    // A reopened board is judged afresh; samples come again.
    while (receive(0ms)) {
    }
    EXPECT_TRUE(receive(30s));
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

// A reload whose settings fail keeps the board open, and SIGTERM still ends korvicd at
// once: also when the configuration was replaced by a FIFO that nobody writes.
struct ReloadCase {
    const char *name;
    bool fifo;           // korvic_cfg.dat becomes a FIFO, else a file naming no device
    const char *logged;  // in the log line of the failed reload
};

void PrintTo(const ReloadCase &c, std::ostream *os) {
    *os << c.name;
}

class SighupWithBadSettings : public KorvicdAlone,
                              public ::testing::WithParamInterface<ReloadCase> {};

TEST_P(SighupWithBadSettings, KeepsTheBoardAndEndsOnSigterm) {
    const ReloadCase &c = GetParam();
    start_korvicd({"--sock", sock, "--rate", "5"});
    ASSERT_TRUE(receive(30s));
    fs::remove(dir / "korvic_cfg.dat");
    if (c.fifo)
        ASSERT_EQ(mkfifo((dir / "korvic_cfg.dat").c_str(), 0600), 0);
    else
        std::ofstream(dir / "korvic_cfg.dat") << "MEM_PATH=/nonexistent/korvic/regs\n";
    kill(korvicd->pid(), SIGHUP);
    ASSERT_TRUE(korvicd_logged("SIGHUP: cannot reopen the board, keeping the one open"));
    EXPECT_THAT(korvicd_log(), HasSubstr(c.logged));
    while (receive(0ms)) {
    }
    EXPECT_TRUE(receive(30s));
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

const ReloadCase kReloadCases[] = {
    {"MissingDevice", false, "/nonexistent/korvic/regs"},
    {"FifoWithoutWriter", true, "a pipe or FIFO that delivered nothing within 1 s"},
};

INSTANTIATE_TEST_SUITE_P(Korvicd, SighupWithBadSettings, ::testing::ValuesIn(kReloadCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(KorvicdAlone, BadOptionsExitTwoAndSendNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--sock", sock, "--rate", "0"},
        {"--sock", sock, "--max-bracket", "200"},
        {"--sock", sock, "--offset", "250"},
        {"--sock", sock, "--no-such-option"},
        {},
    };
    for (const auto &args : cases) {
        EXPECT_EQ(run_korvicd(args), 2) << ::testing::PrintToString(args);
        const std::string err = korvicd_log();
        EXPECT_THAT(err, ::testing::StartsWith("korvicd: ")) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_TRUE(slurp(dir / "korvicd.out").empty());
    }
    EXPECT_TRUE(nothing_sent());
}

TEST_F(KorvicdAlone, AMissingBoardExitsOneNamingThePathAndSendsNothing) {
    std::ofstream(dir / "missing.cfg") << "MEM_PATH=/nonexistent/korvic/regs\n";
    EXPECT_EQ(run_korvicd({"--sock", sock, "--config", "missing.cfg"}), 1);
    EXPECT_THAT(korvicd_log(), HasSubstr("korvicd: cannot open the board: "));
    EXPECT_THAT(korvicd_log(), HasSubstr("/nonexistent/korvic/regs"));
    EXPECT_EQ(run_korvicd({"--sock", sock, "--config", "no-such.cfg"}), 1);
    EXPECT_THAT(korvicd_log(), HasSubstr("no-such.cfg"));
    EXPECT_EQ(run_korvicd({"--once", "--config", "no-such.cfg"}), 1);
    EXPECT_TRUE(nothing_sent());
}

TEST_F(KorvicdAlone, OncePrintsOneSample) {
    start_korvicd({"--once", "--offset", "-2ms"});
    EXPECT_EQ(korvicd->wait(), 0) << korvicd_log();
    const std::string out = slurp(dir / "korvicd.out");
    EXPECT_THAT(out, ::testing::MatchesRegex(
                         "20[0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9:]+\\.[0-9]{6}Z offset "
                         "-0\\.00(19|20)[0-9]+ s bracket 0\\.0000[0-9]+ s\n"));
    EXPECT_EQ(korvicd_log(), "");
    EXPECT_TRUE(nothing_sent());
}

TEST_F(KorvicdAlone, OnceOnATooWideBracketExitsOne) {
    start_korvicd({"--once", "--max-bracket", "1ns"});
    EXPECT_EQ(korvicd->wait(), 1);
    EXPECT_TRUE(slurp(dir / "korvicd.out").empty());
    EXPECT_THAT(korvicd_log(), HasSubstr("korvicd: no sample kept: sample: board "));
    EXPECT_THAT(korvicd_log(), HasSubstr("dropped, bracket wider than 1 ns"));
}

// The board lock held all along by another open of the board (here korvicd's own
// descriptor 9, locked by flock(1) before the shell became korvicd): each burst waits
// --lock-wait, is dropped, and counted as "board busy"; --once says why it kept nothing.
TEST_F(KorvicdAlone, ABoardLockedElsewhereDropsSamplesAsBoardBusy) {
    const auto locked_korvicd = [&](const std::string &args) {
        korvicd = std::make_unique<Process>(
            std::vector<std::string>{
                KORVIC_SIM_BIN, "--", "/bin/sh", "-c",
                "exec 9<>/dev/korvic_sim/board && flock -n 9 && exec " KORVICD_BIN
                " --lock-wait 20ms " +
                    args},
            dir, dir / "korvicd.out", dir / "korvicd.err");
    };
    locked_korvicd("--once");
    EXPECT_EQ(korvicd->wait(), 1);
    EXPECT_THAT(korvicd_log(), HasSubstr("korvicd: no sample kept: korvic: board lock: "
                                         "/dev/korvic_sim/board held by another process for "
                                         "over 20 ms"));
    locked_korvicd("--sock " + sock + " --rate 10 --stats 1s");
    EXPECT_TRUE(wait_until(
        [&] {
            return std::regex_search(korvicd_log(),
                                     std::regex("dropped ([1-9][0-9]*) \\(bracket 0, untrusted 0, "
                                                "max offset 0, queue full 0, chronyd away 0, "
                                                "board busy \\1, clock stepped 0\\), "
                                                "readings refused 0"));
        },
        30s))
        << korvicd_log();
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
    EXPECT_TRUE(nothing_sent());
}

#ifdef KORVIC_BIN
// A board in year 0 (what the console's "reset time" leaves: all its digits 0) or in
// 9999: korvic offset prints the exact offset, korvicd says once that the board time lies
// outside 1970 to 2099 and feeds nothing.
TEST_F(KorvicdAlone, BoardsInTheYears0And9999AreNeverFed) {
    const struct {
        const char *preset;  // year, day, hours, minutes, seconds, as the C API's mode 3
        const char *board;   // how the board's time begins
    } cases[] = {{"0 0 0 0 0", "0000-01-01T00:00:0"}, {"9999 364 23 59 0", "9999-12-31T23:59:0"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.preset);
        fs::remove(dir / "korvicd.err");
        korvicd = std::make_unique<Process>(
            std::vector<std::string>{KORVIC_SIM_BIN, "--", "/bin/sh", "-c",
                                     std::string(SIM_CLIENT_BIN " preset ") + c.preset +
                                         " && " KORVIC_BIN " --json offset >offset.json && exec " +
                                         KORVICD_BIN " --sock " + sock + " --rate 10 -v"},
            dir, dir / "korvicd.out", dir / "korvicd.err");
        ASSERT_TRUE(korvicd_logged("outside 1970 to 2099; feeding nothing")) << korvicd_log();
        ASSERT_TRUE(wait_until(
            [&] {
                const std::string log = korvicd_log();
                std::size_t n = 0;
                for (auto at = log.find("dropped, board out of range"); at != std::string::npos;
                     at = log.find("dropped, board out of range", at + 1))
                    ++n;
                return n >= 10;
            },
            30s));
        EXPECT_EQ(korvicd->stop(SIGTERM), 0);
        const std::string log = korvicd_log();
        EXPECT_EQ(log.find("outside 1970 to 2099"), log.rfind("outside 1970 to 2099")) << log;
        EXPECT_THAT(log, HasSubstr(std::string("sample: board ") + c.board));
        EXPECT_THAT(log, Not(HasSubstr(": fed")));
        EXPECT_TRUE(nothing_sent());

        // The exact offset: the board's time less the system clock's, both printed to the
        // microsecond, within a microsecond of the nanoseconds printed.
        const std::string line = slurp(dir / "offset.json");
        const auto value = [&line](const std::string &key) {
            const auto at = line.find("\"" + key + "\":");
            const std::string rest =
                at == std::string::npos ? "" : line.substr(at + key.size() + 3);
            return rest.substr(0, rest.find_first_of(",}"));
        };
        ASSERT_EQ(value("board").rfind(std::string("\"") + c.board, 0), 0u) << line;
        const std::string offset_ns = value("offset_ns");
        ASSERT_GT(offset_ns.size(), 15u) << line;  // beyond 64-bit nanoseconds' reach
        const std::int64_t offset_us = std::stoll(offset_ns.substr(0, offset_ns.size() - 3));
        const auto board = korvic::parse_time(value("board").substr(1, 27));
        const auto system = korvic::parse_time(value("system").substr(1, 27));
        EXPECT_LE(std::llabs(offset_us - (board - system).count()), 1) << line;
    }
}
#endif

// korvicd on the simulated board through a shell: `shell` runs first (trap '' INT), and
// `redirects` apply to korvicd (<&- >&- 2>&-).
std::vector<std::string> korvicd_through_shell(const std::string &shell,
                                               const std::string &korvicd_args,
                                               const std::string &redirects) {
    return {
        "/bin/sh", "-c",
        shell + "; exec " KORVIC_SIM_BIN " -- " KORVICD_BIN " " + korvicd_args + " " + redirects};
}

// Started with descriptors 0, 1 and 2 closed, korvicd has /dev/null on them before it opens
// anything else: its log lines (-v: one per sample) land neither in the board nor in the
// socket, which carries samples only.
TEST_F(KorvicdAlone, ClosedStandardDescriptorsGetDevNull) {
    korvicd = std::make_unique<Process>(
        korvicd_through_shell("true", "--sock " + sock + " --rate 4 -v", "<&- >&- 2>&-"), dir,
        dir / "korvicd.out", dir / "korvicd.err");
    for (int i = 0; i < 3; ++i) {
        const auto got = receive(30s);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->size(), sizeof(korvicd::SockSample));
    }
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(korvicd->pid()) + "/fd/" +
                                   std::to_string(fd)),
                  "/dev/null")
            << fd;
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

// A SIGINT ignored when korvicd starts stays ignored; SIGTERM still ends it.
TEST_F(KorvicdAlone, AnInheritedIgnoreOfSigintIsKept) {
    korvicd = std::make_unique<Process>(
        korvicd_through_shell("trap '' INT", "--sock " + sock + " --rate 4", ""), dir,
        dir / "korvicd.out", dir / "korvicd.err");
    ASSERT_TRUE(korvicd_logged("once the board time is consistent")) << korvicd_log();
    ASSERT_EQ(kill(korvicd->pid(), SIGINT), 0);
    // Pending together, SIGINT (the lower number) would be read first.
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
    EXPECT_THAT(korvicd_log(), HasSubstr("SIGTERM: stopping"));
    EXPECT_THAT(korvicd_log(), Not(HasSubstr("SIGINT")));
}

// ---------------------------------------------------------------------------------------
// The simulator's misbehaving boards.
// ---------------------------------------------------------------------------------------

TEST_F(KorvicdE2E, SimulatedBoardAheadShowsInChronydThroughSock) {
    start_chronyd();
    const auto started = Clock::now();
    // The simulated board 250 ms ahead of the host: chronyd, whose sign is the host's,
    // reports the source at -0.25 s.
    start_korvicd({"--sock", sock}, {"--offset", "+250ms"});
    Source last;
    ASSERT_TRUE(reports("KRVC", -0.25, 200e-6, 15s, &last))
        << "last report: reach " << last.reach << " offset " << last.offset;
    EXPECT_LE(Clock::now() - started, 15s);
    EXPECT_THAT(korvicd_log(), HasSubstr("board time consistent over 3 intervals"));
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
    EXPECT_THAT(korvicd_log(), HasSubstr("SIGTERM: stopping"));
}

TEST_F(KorvicdE2E, SimulatedBoardAheadShowsInChronydThroughShm) {
    constexpr int kUnit = 3;  // no real ntpd here uses it; removed again at the end
    const int stale = shmget(korvicd::shm_key(kUnit), 0, 0);
    if (stale >= 0)
        shmctl(stale, IPC_RMID, nullptr);
    start_chronyd(kUnit);
    const auto started = Clock::now();
    start_korvicd({"--shm", std::to_string(kUnit)}, {"--offset", "+250ms"});
    Source last;
    ASSERT_TRUE(reports("KSHM", -0.25, 200e-6, 15s, &last))
        << "last report: reach " << last.reach << " offset " << last.offset;
    EXPECT_LE(Clock::now() - started, 15s);
    // Nothing went to the SOCK source.
    EXPECT_EQ(sources()["KRVC"].reach, 0u);
    EXPECT_EQ(korvicd->stop(SIGINT), 0);
    EXPECT_THAT(korvicd_log(), HasSubstr("SIGINT: stopping"));
}

TEST_F(KorvicdE2E, AStoppedBoardFeedsNothingUntilItRunsAgain) {
    start_chronyd();
    // The board runs for 3 s, stands still for 5 s, then runs on from where it stood: 5 s
    // behind the host from then on.
    start_korvicd({"--sock", sock, "--rate", "4"}, {"--stop-at", "3s:5s"});
    ASSERT_TRUE(reports("KRVC", 0.0, 200e-6, 15s));
    ASSERT_TRUE(korvicd_logged("board stopped: its time did not advance"));
    // chronyd gets nothing while the board stands still: the time since its last sample
    // grows past what one missed sample would make, and the reach register's newest bit
    // is 0.
    Source last;
    ASSERT_TRUE(wait_until(
        [&] {
            last = sources()["KRVC"];
            return last.last_rx >= 3 && (last.reach & 1u) == 0;
        },
        20s))
        << "lastRx " << last.last_rx << " reach " << last.reach;
    // Running again, the board is judged afresh and fed: 5 s behind the host.
    ASSERT_TRUE(korvicd_logged("board sane again after 3 consistent intervals"));
    ASSERT_TRUE(reports("KRVC", 5.0, 0.01, 20s, &last)) << "offset " << last.offset;
    const std::string log = korvicd_log();
    const auto count = [&](const std::string &text) {
        std::size_t n = 0;
        for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("board stopped"), 1u) << log;
    EXPECT_EQ(count("ppm"), 0u) << log;  // the stop's first interval is no rate error
    EXPECT_EQ(count("board time advances again"), 1u) << log;
    EXPECT_EQ(count("board sane again"), 1u) << log;
    EXPECT_TRUE(korvicd->running());
}

TEST_F(KorvicdAlone, ABoardThatStepsIsDistrustedOnceAndFedAgain) {
    start_korvicd({"--sock", sock, "--rate", "4"}, {"--jump-at", "2s:+3s"});
    ASSERT_TRUE(korvicd_logged("board time stepped by +", 30s)) << korvicd_log();
    ASSERT_TRUE(korvicd_logged("board sane again after 3 consistent intervals", 30s));
    while (receive(0ms)) {
    }
    const auto got = receive(30s);
    ASSERT_TRUE(got);
    korvicd::SockSample s;
    std::memcpy(&s, got->data(), sizeof s);
    EXPECT_NEAR(s.offset, 3.0, 0.001);
}

TEST_F(KorvicdAlone, ABoardThatDriftsIsDistrusted) {
    start_korvicd({"--sock", sock, "--rate", "4"}, {"--drift", "2000"});
    ASSERT_TRUE(korvicd_logged(" ppm, limit 500 ppm); feeding nothing", 30s)) << korvicd_log();
    EXPECT_TRUE(nothing_sent());
}

}  // namespace
