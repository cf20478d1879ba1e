// korvicd end to end: the real program on the simulated board (korvic_sim), feeding a real
// chronyd or a socket of the test's (e2e_fixture.h): samples, signals, options, and the
// simulator's misbehaving boards.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chronyd_sandbox.h"
#include "core.h"
#include "e2e_fixture.h"
#include "korvic/board.hpp"
#include "leap_file.h"
#include "outputs.h"

namespace {

using namespace korvicd_e2e;
using ::testing::HasSubstr;
using ::testing::Not;

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
    // Once per outage, however many samples it lost.
    EXPECT_EQ(logged_lines("chronyd not reachable"), 1u) << korvicd_log();
    EXPECT_EQ(logged_lines("chronyd takes samples again"), 1u) << korvicd_log();
}

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
    ASSERT_TRUE(
        korvicd_logged("SIGHUP: board reopened from korvic_cfg.dat; its next reading is "
                       "judged against the last one before"));
    // The same board reopened is no step: samples go on.
    while (receive(0ms)) {
    }
    EXPECT_TRUE(receive(5s));
    EXPECT_THAT(korvicd_log(), Not(HasSubstr("board time stepped")));
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
    const int kUnit = own_unit(0);  // removed again at the end
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
    // The board runs for 5 s, stands still for 5 s, then runs on from where it stood: 5 s
    // behind the host from then on, a step that it must hold for the hold-off.
    start_korvicd({"--sock", sock, "--rate", "4", "--step-holdoff", "3s"}, {"--stop-at", "5s:5s"});
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
    // Running again, the board is 5 s off its trusted offset: fed once it has held it.
    ASSERT_TRUE(korvicd_logged("board time held its new offset (-", 30s)) << korvicd_log();
    ASSERT_TRUE(reports("KRVC", 5.0, 0.01, 20s, &last)) << "offset " << last.offset;
    EXPECT_EQ(logged_lines("board stopped"), 1u) << korvicd_log();
    EXPECT_EQ(logged_lines("ppm"), 0u)
        << korvicd_log();  // the stop's first interval is no rate error
    EXPECT_EQ(logged_lines("board time advances again"), 1u) << korvicd_log();
    EXPECT_EQ(logged_lines_matching("^korvicd: board time consistent again -(4\\.9999|5\\.0000)"),
              1u)
        << korvicd_log();
    EXPECT_EQ(logged_lines("board time held its new offset"), 1u) << korvicd_log();
    EXPECT_TRUE(korvicd->running());
}

// ---------------------------------------------------------------------------------------
// What ends a step, and the other conditions of trust, as chronyd's refclocks.log shows.
// ---------------------------------------------------------------------------------------

// DAY_OFF=1 appended and SIGHUP: the reopened board's first reading is a step of a day
// from the last one before, said once; nothing reaches chronyd for the hold-off; then one
// line believes it and chronyd gets the board a day ahead.
TEST_F(KorvicdE2E, AReloadThatMovesTheBoardADayIsAStepHeldOff) {
    start_chronyd();
    start_korvicd({"--sock", sock, "--rate", "4", "--step-holdoff", "5s"});
    ASSERT_TRUE(reports("KRVC", 0.0, 200e-6, 15s)) << korvicd_log();
    std::ofstream(dir / "korvic_cfg.dat", std::ios::app) << "DAY_OFF=1\n";
    kill(korvicd->pid(), SIGHUP);
    ASSERT_TRUE(korvicd_logged("board time held its new offset", 30s)) << korvicd_log();
    const auto a_day_ahead = [](const RefclockSample &r) {
        return std::fabs(r.offset - 86'400) < 0.001;
    };
    ASSERT_TRUE(wait_for(
        [&] {
            const auto all = refclock_samples("KRVC");
            return std::count_if(all.begin(), all.end(), a_day_ahead) >= 4;
        },
        15s))
        << slurp(dir / "refclocks.log");
    EXPECT_EQ(logged_lines_matching("board time stepped by \\+(86399\\.9999|86400\\.0000)"), 1u)
        << korvicd_log();
    EXPECT_EQ(logged_lines("stepped by"), 1u) << korvicd_log();
    EXPECT_THAT(korvicd_log(), HasSubstr(" across the reload against the system clock (limit "
                                         "1.000000 s); feeding nothing until it is back within "
                                         "1.000000 s of its last trusted offset or has held the "
                                         "new one for 5.000000 s"));
    EXPECT_EQ(
        logged_lines_matching("board time held its new offset \\(\\+(86399\\.9999|86400\\.0000)"),
        1u)
        << korvicd_log();
    // At the board's offset until the reload, then nothing for the hold-off, then a day on.
    const auto all = refclock_samples("KRVC");
    const auto first_new = std::find_if(all.begin(), all.end(), a_day_ahead);
    ASSERT_NE(first_new, all.begin());
    for (auto it = all.begin(); it != first_new; ++it)
        EXPECT_LT(std::fabs(it->offset), 0.001) << it->offset;
    for (auto it = first_new; it != all.end(); ++it)
        EXPECT_TRUE(a_day_ahead(*it)) << it->offset;
    EXPECT_GE(first_new->at - std::prev(first_new)->at, 5.0);
}

// Jumped by 3 s and back a second later, within --max-step of its trusted offset: a glitch,
// fed again at once (the hold-off is 60 s); chronyd never sees the 3 s.
TEST_F(KorvicdE2E, ABoardThatJumpsAndComesBackIsFedAgainAtOnce) {
    start_chronyd();
    start_korvicd({"--sock", sock, "--rate", "4"}, {"--jump-at", "6s:+3s", "--jump-at", "7s:-3s"});
    ASSERT_TRUE(korvicd_logged("a glitch; feeding samples", 30s)) << korvicd_log();
    const std::size_t glitch = refclock_samples("KRVC").size();
    ASSERT_TRUE(wait_for([&] { return refclock_samples("KRVC").size() >= glitch + 8; }, 10s));
    EXPECT_EQ(logged_lines_matching("board time stepped by \\+(2\\.9999|3\\.0000)"), 1u)
        << korvicd_log();
    EXPECT_EQ(logged_lines("board time back within 1.000000 s of its last trusted offset"), 1u);
    const auto all = refclock_samples("KRVC");
    double gap = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_LT(std::fabs(all[i].offset), 0.001) << all[i].offset;
        if (i > 0)
            gap = std::max(gap, all[i].at - all[i - 1].at);
    }
    // The second away and a burst or two: far less than the hold-off.
    EXPECT_GE(gap, 1.0);
    EXPECT_LT(gap, 10.0);
}

// --require-status 8=1 with the board's bit 8 cleared from 6 s into the run for 5 s:
// nothing is fed in those 5 s, with one line when it begins and one when it ends.
TEST_F(KorvicdE2E, ARequiredStatusBitClearedForFiveSecondsFeedsNothingMeanwhile) {
    start_chronyd();
    start_korvicd({"--sock", sock, "--rate", "4", "--require-status", "8=1"},
                  {"--status-at", "6s:8=0:5s"});
    ASSERT_TRUE(
        korvicd_logged("status bit 8 reads 1 again (--require-status 8=1); feeding samples", 30s))
        << korvicd_log();
    const std::size_t back = refclock_samples("KRVC").size();
    ASSERT_TRUE(wait_for([&] { return refclock_samples("KRVC").size() >= back + 4; }, 10s));
    EXPECT_EQ(logged_lines("status bit 8 reads 0 (--require-status 8=1); feeding nothing"), 1u)
        << korvicd_log();
    EXPECT_EQ(logged_lines("status bit 8"), 2u) << korvicd_log();
    const auto all = refclock_samples("KRVC");
    std::vector<double> gaps;
    for (std::size_t i = 1; i < all.size(); ++i)
        if (all[i].at - all[i - 1].at > 1.0)
            gaps.push_back(all[i].at - all[i - 1].at);
    ASSERT_EQ(gaps.size(), 1u) << ::testing::PrintToString(gaps);
    EXPECT_GE(gaps[0], 5.0);
    EXPECT_LT(gaps[0], 7.0);  // and fed again when the bit reads 1
}

// A storm of SIGHUPs: the board is reopened at once, then at most once a burst period, every
// SIGHUP in between merged into the next reopen; samples go on.
TEST_F(KorvicdAlone, AStormOfSighupsIsMergedIntoAReopenPerBurstPeriod) {
    start_korvicd({"--sock", sock, "--rate", "4"});
    ASSERT_TRUE(receive(30s)) << korvicd_log();
    const auto began = Clock::now();
    for (int i = 0; i < 2500; ++i)
        ASSERT_EQ(kill(korvicd->pid(), SIGHUP), 0);
    const double storm = std::chrono::duration<double>(Clock::now() - began).count();
    // The last merged reopen comes within two burst periods.
    std::this_thread::sleep_for(1s);
    const std::size_t reopens = logged_lines("SIGHUP: board reopened");
    EXPECT_GE(reopens, 1u);
    EXPECT_LE(reopens, static_cast<std::size_t>(storm / 0.25) + 2) << "storm of " << storm << " s";
    while (receive(0ms)) {
    }
    EXPECT_TRUE(receive(5s));
    EXPECT_THAT(korvicd_log(), Not(HasSubstr("board time stepped")));
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

TEST_F(KorvicdAlone, ABoardThatStepsIsDistrustedOnceAndFedAfterTheHoldOff) {
    start_korvicd({"--sock", sock, "--rate", "4", "--step-holdoff", "3s"}, {"--jump-at", "2s:+3s"});
    ASSERT_TRUE(korvicd_logged("board time stepped by +", 30s)) << korvicd_log();
    ASSERT_TRUE(korvicd_logged("board time held its new offset (+", 30s));
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

// ---------------------------------------------------------------------------------------
// One korvicd per output.
// ---------------------------------------------------------------------------------------

// A second korvicd on the first one's socket, or on its SHM unit, exits with status 1
// naming the first's pid, before it opens the board or touches the output; the first goes
// on feeding, its log unchanged.
TEST_F(KorvicdAlone, ASecondKorvicdOnTheSameOutputExitsOneNamingTheFirst) {
    const int kUnit = own_unit(1);
    shm_units.push_back(kUnit);
    start_korvicd({"--sock", sock, "--shm", std::to_string(kUnit), "--rate", "5"});
    ASSERT_TRUE(receive(30s)) << korvicd_log();
    const std::string first_log = korvicd_log();
    const std::string pid = std::to_string(korvicd->pid());
    const struct {
        std::vector<std::string> args;
        std::string says;
    } seconds[] = {
        {{"--sock", sock},
         "korvicd: --sock " + sock + " is fed by another korvicd (pid " + pid +
             "): not starting a second one\n"},
        {{"--sock", (dir / "other.sock").string(), "--shm", std::to_string(kUnit)},
         "korvicd: --shm " + std::to_string(kUnit) + " is fed by another korvicd (pid " + pid +
             "): not starting a second one\n"},
    };
    for (const auto &c : seconds) {
        EXPECT_EQ(run_second_korvicd(c.args), 1);
        EXPECT_EQ(slurp(dir / "second.err"), c.says);
    }
    EXPECT_TRUE(korvicd->running());
    while (receive(0ms)) {
    }
    EXPECT_TRUE(receive(5s)) << "the first korvicd stopped feeding";
    EXPECT_EQ(korvicd_log(), first_log);
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
    // Gone, it leaves the output to the next one.
    korvicd.reset();
    start_korvicd({"--sock", sock, "--rate", "5"});
    EXPECT_TRUE(receive(30s)) << korvicd_log();
}

// ---------------------------------------------------------------------------------------
// The NTP shared-memory segment.
// ---------------------------------------------------------------------------------------

class KorvicdShm : public KorvicdE2E {
  protected:
    const int kUnit = own_unit(2);
    void SetUp() override {
        KorvicdE2E::SetUp();
        const int stale = shmget(korvicd::shm_key(kUnit), 0, 0);
        if (stale >= 0)
            shmctl(stale, IPC_RMID, nullptr);
    }
    int segment() { return shmget(korvicd::shm_key(kUnit), 0, 0); }
    bool chronyd_gets_shm_samples(Clock::duration limit) {
        Source last;
        return wait_for(
            [&] {
                last = sources()["KSHM"];
                return last.reach != 0 && last.last_rx <= 2;
            },
            limit);
    }
};

// While korvicd runs the record is valid between chronyd's reads (chronyd clears it as it
// takes one); after SIGTERM it is not, at once.
TEST_F(KorvicdShm, TheRecordIsInvalidAfterSigterm) {
    start_chronyd(kUnit);
    start_korvicd({"--shm", std::to_string(kUnit), "--rate", "50"});
    ASSERT_TRUE(chronyd_gets_shm_samples(15s)) << korvicd_log();
    auto *seen = static_cast<korvicd::ShmTime *>(shmat(segment(), nullptr, SHM_RDONLY));
    ASSERT_NE(seen, reinterpret_cast<korvicd::ShmTime *>(-1));
    ASSERT_TRUE(wait_for([&] { return seen->valid == 1; }, 5s));
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
    EXPECT_EQ(seen->valid, 0);
    EXPECT_GT(seen->count, 0);
    shmdt(seen);
}

// While the board is not trusted, the record is left invalid (no chronyd here to clear it):
// a reader takes no stale sample from it, and nothing is written until the board is fed.
TEST_F(KorvicdShm, TheRecordIsInvalidWhileTheBoardIsNotTrusted) {
    shm_units.push_back(kUnit);
    start_korvicd({"--shm", std::to_string(kUnit), "--rate", "4"}, {"--jump-at", "6s:+3s"});
    ASSERT_TRUE(wait_for([&] { return segment() >= 0; }, 15s)) << korvicd_log();
    auto *seen = static_cast<korvicd::ShmTime *>(shmat(segment(), nullptr, SHM_RDONLY));
    ASSERT_NE(seen, reinterpret_cast<korvicd::ShmTime *>(-1));
    ASSERT_TRUE(wait_for([&] { return seen->valid == 1; }, 15s)) << korvicd_log();
    ASSERT_TRUE(korvicd_logged("board time stepped by +", 15s)) << korvicd_log();
    ASSERT_TRUE(wait_for([&] { return seen->valid == 0; }, 2s));
    const int count = seen->count;
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(seen->valid, 0);
    EXPECT_EQ(seen->count, count);
    shmdt(seen);
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

// The segment removed (ipcrm) and chronyd restarted: korvicd notices at its next write,
// says so once, and chronyd gets samples again within 10 s.
TEST_F(KorvicdShm, ARemovedSegmentAndANewChronydGetSamplesAgain) {
    start_chronyd(kUnit);
    start_korvicd({"--shm", std::to_string(kUnit), "--rate", "4"});
    ASSERT_TRUE(chronyd_gets_shm_samples(15s)) << korvicd_log();
    EXPECT_EQ(chronyd->stop(SIGTERM), 0);
    ASSERT_EQ(shmctl(segment(), IPC_RMID, nullptr), 0);
    start_chronyd(kUnit);
    const auto restarted = Clock::now();
    EXPECT_TRUE(chronyd_gets_shm_samples(10s)) << korvicd_log();
    EXPECT_LE(Clock::now() - restarted, 10s);
    EXPECT_EQ(
        logged_lines("NTP shared memory segment " + korvicd::shm_key_name(korvicd::shm_key(kUnit)) +
                     " was removed: writing to "),
        1u)
        << korvicd_log();
    EXPECT_TRUE(korvicd->running());
}

// A segment of another size at the unit's key: korvicd exits 1 with one line, one prefix.
TEST_F(KorvicdShm, ASegmentOfAnotherSizeIsOneLineWithOnePrefix) {
    shm_units.push_back(kUnit);
    ASSERT_GE(shmget(korvicd::shm_key(kUnit), 16, IPC_CREAT | IPC_EXCL | 0600), 0);
    start_korvicd({"--shm", std::to_string(kUnit)});
    EXPECT_EQ(korvicd->wait(), 1);
    EXPECT_EQ(korvicd_log(), "korvicd: NTP shared memory segment " +
                                 korvicd::shm_key_name(korvicd::shm_key(kUnit)) +
                                 " (it exists with another size): Invalid argument\n");
}

// ---------------------------------------------------------------------------------------
// Leap seconds and statistics.
// ---------------------------------------------------------------------------------------

// A table that announces a second inserted at the end of this UTC day (and of the next,
// for a test that runs across midnight): every SOCK sample and SHM record carries leap 1,
// and chronyd's refclocks.log shows it ('+') for both.
TEST_F(KorvicdShm, ALeapSecondAtTheEndOfTheDayIsAnnounced) {
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    const std::int64_t midnight = (now / 86'400 + 1) * 86'400;
    std::ofstream(dir / "leap-seconds.list") << korvicd_test::leap_seconds_list(
        {{63'072'000, 10}, {midnight, 11}, {midnight + 86'400, 12}}, now - 86'400,
        now + 200 * 86'400);
    start_chronyd(kUnit);
    start_korvicd({"--sock", sock, "--shm", std::to_string(kUnit), "--rate", "4", "--leap-file",
                   (dir / "leap-seconds.list").string()});
    ASSERT_TRUE(reports("KRVC", 0.0, 200e-6, 15s)) << korvicd_log();
    ASSERT_TRUE(chronyd_gets_shm_samples(15s)) << korvicd_log();
    EXPECT_THAT(korvicd_log(),
                HasSubstr("leap second table " + (dir / "leap-seconds.list").string() +
                          ": 2 leap seconds, the last at the end of "));
    auto *seen = static_cast<korvicd::ShmTime *>(shmat(segment(), nullptr, SHM_RDONLY));
    ASSERT_NE(seen, reinterpret_cast<korvicd::ShmTime *>(-1));
    EXPECT_EQ(seen->leap, 1);
    shmdt(seen);
    ASSERT_TRUE(wait_for([&] { return refclock_lines("KRVC").size() >= 3; }, 15s));
    for (const char *refid : {"KRVC", "KSHM"}) {
        const auto lines = refclock_lines(refid);
        ASSERT_FALSE(lines.empty()) << refid << "\n" << slurp(dir / "refclocks.log");
        for (const auto &f : lines)
            EXPECT_EQ(f[4], "+") << refid << ": " << ::testing::PrintToString(f);
    }
}

// --stats names the span it covers: at 4 Hz with --stats 1ns, a line per burst over 250 ms.
TEST_F(KorvicdAlone, StatisticsNameTheSpanTheyCover) {
    start_korvicd({"--sock", sock, "--rate", "4", "--stats", "1ns"});
    ASSERT_TRUE(korvicd_logged("stats over 250.000 ms: kept 1, dropped 0 (")) << korvicd_log();
    EXPECT_THAT(korvicd_log(), Not(HasSubstr("stats over 1 ns")));
    EXPECT_THAT(korvicd_log(), HasSubstr(" sd "));
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

}  // namespace
