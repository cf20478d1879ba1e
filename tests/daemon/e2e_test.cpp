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

#include "core.h"
#include "korvic/board.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::Not;

std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Polls `ready` every 100 ms until it holds or `limit` has passed: the way out of a wait
// for something that never comes, never the thing checked.
bool wait_for(const std::function<bool()> &ready, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (ready())
            return true;
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(100ms);
    }
}

// A child process with its standard output and error in files.
class Process {
  public:
    Process(const std::vector<std::string> &argv, const fs::path &cwd, const fs::path &out,
            const fs::path &err) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0)
                _exit(126);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int in = open("/dev/null", O_RDONLY);
            if (o < 0 || e < 0 || in < 0)
                _exit(126);
            dup2(in, 0);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char *> args;
            for (const std::string &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Process() { stop(SIGKILL); }
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    bool running() {
        if (status_)
            return false;
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_)
            status_ = st;
        return !status_;
    }
    // Sends `sig` and waits for the end (at most 20 s, then SIGKILL). The exit status,
    // or 128 + the signal.
    int stop(int sig) {
        if (pid_ <= 0)
            return -1;
        if (running()) {
            kill(pid_, sig);
            if (!wait_for([&] { return !running(); }, 20s)) {
                kill(pid_, SIGKILL);
                int st = 0;
                waitpid(pid_, &st, 0);
                status_ = st;
            }
        }
        const int st = *status_;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    // Waits for the process to end by itself (at most 60 s).
    int wait() {
        wait_for([&] { return !running(); }, 60s);
        return stop(SIGKILL);
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct Source {
    std::string refid;
    unsigned reach = 0;         // the 8-bit reachability register (octal in chronyc's text)
    std::uint64_t last_rx = 0;  // seconds since the last sample (4294967295: never)
    double offset = 0;          // seconds; positive: the host is ahead of the source
    double error = 0;
};

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
        std::ofstream conf(dir / "chrony.conf");
        conf << "refclock SOCK " << sock << " refid KRVC poll 0 filter 1 noselect\n";
        if (shm_unit) {
            shm_units.push_back(*shm_unit);
            conf << "refclock SHM " << *shm_unit << " refid KSHM poll 0 filter 1 noselect\n";
        }
        conf << "pidfile " << (dir / "chronyd.pid").string() << "\n"
             << "driftfile " << (dir / "chrony.drift").string() << "\n"
             << "bindcmdaddress " << (dir / "chronyd.sock").string() << "\n"
             << "cmdport 0\nport 0\n"
             << "logdir " << dir.string() << "\n";
        conf.close();
        chronyd = std::make_unique<Process>(
            std::vector<std::string>{CHRONYD_BIN, "-x", "-d", "-u", "root", "-f",
                                     (dir / "chrony.conf").string()},
            dir, dir / "chronyd.out", dir / "chronyd.err");
        ASSERT_TRUE(wait_for([&] { return sources().count("KRVC") == 1; }, 30s))
            << "chronyd did not answer: " << slurp(dir / "chronyd.err");
    }

    // chronyc -n -c sources, by refid.
    std::map<std::string, Source> sources() {
        const std::string cmd = std::string(CHRONYC_BIN) + " -h " +
                                (dir / "chronyd.sock").string() + " -n -c sources 2>/dev/null";
        std::map<std::string, Source> out;
        FILE *p = popen(cmd.c_str(), "r");
        if (p == nullptr)
            return out;
        char line[512];
        while (std::fgets(line, sizeof line, p) != nullptr) {
            // mode, state, name, stratum, poll, reach, lastRx, offset, measured, error
            std::vector<std::string> f;
            std::stringstream ss(line);
            std::string field;
            while (std::getline(ss, field, ','))
                f.push_back(field);
            if (f.size() != 10)
                continue;
            Source s;
            s.refid = f[2];
            s.reach = static_cast<unsigned>(std::stoul(f[5], nullptr, 8));
            s.last_rx = std::stoull(f[6]);
            s.offset = std::stod(f[7]);
            s.error = std::stod(f[9]);
            out[s.refid] = s;
        }
        pclose(p);
        return out;
    }

    // Polls chronyd until `refid` holds a sample whose offset lies within `tolerance` of
    // `want`, for at most `limit`. The last report seen, for the failure message.
    bool reports(const std::string &refid, double want, double tolerance, Clock::duration limit,
                 Source *last = nullptr) {
        return wait_for(
            [&] {
                const auto all = sources();
                const auto it = all.find(refid);
                if (it == all.end())
                    return false;
                if (last != nullptr)
                    *last = it->second;
                return it->second.reach != 0 && it->second.last_rx <= 2 &&
                       std::fabs(it->second.offset - want) <= tolerance;
            },
            limit);
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
        return wait_for([&] { return korvicd_log().find(text) != std::string::npos; }, limit);
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
    std::unique_ptr<Process> chronyd;
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
    EXPECT_TRUE(wait_for(
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
        ASSERT_TRUE(wait_for(
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
    ASSERT_TRUE(wait_for(
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
