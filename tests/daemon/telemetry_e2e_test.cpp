// korvicd end to end, what it reports: systemd's notifications, read at a socket of the
// test's that stands where systemd's is (NOTIFY_SOCKET: a path or an abstract name, the
// protocol's other end), and the metrics file, read as node_exporter reads it.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_fixture.h"

namespace {

using namespace korvicd_e2e;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// korvicd with NOTIFY_SOCKET set to a socket of the test's.
class KorvicdNotify : public KorvicdE2E {
  protected:
    // Bound at `name` ("@..." for an abstract name: the test's pid keeps it apart).
    void listen(const std::string &name) {
        notify_name = name;
        rx = std::make_unique<Receiver>(name);
        ASSERT_TRUE(rx->bound()) << name;
    }
    void listen_at_path() { listen((dir / "notify").string()); }
    std::vector<std::string> env(std::vector<std::string> more = {}) const {
        more.push_back("NOTIFY_SOCKET=" + notify_name);
        return more;
    }
    // The messages that arrive within `limit`, until one satisfies `until`.
    std::vector<std::string> messages(Clock::duration limit,
                                      const std::function<bool(const std::string &)> &until) {
        std::vector<std::string> got;
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const auto m = rx->receive(std::max(left, std::chrono::milliseconds{1}));
            if (!m)
                break;
            got.emplace_back(m->begin(), m->end());
            if (until(got.back()))
                break;
        }
        return got;
    }
    static std::size_t count(const std::vector<std::string> &ms, const std::string &m) {
        return static_cast<std::size_t>(std::count(ms.begin(), ms.end(), m));
    }
    std::string notify_name;
    std::unique_ptr<Receiver> rx;
};

struct WatchdogCase {
    const char *name;
    bool abstract;
    const char *watchdog_pid;  // "self": korvicd's own, "other": another, nullptr: unset
    bool pings;
};

void PrintTo(const WatchdogCase &c, std::ostream *os) {
    *os << c.name;
}

class WatchdogPings : public KorvicdNotify, public ::testing::WithParamInterface<WatchdogCase> {};

// One burst in 1000 s: READY=1 with the first STATUS= after the first burst, then WATCHDOG=1
// from the watchdog's own timer at half of WATCHDOG_USEC while no burst is due, for the
// process that WATCHDOG_PID names only; STOPPING=1 on SIGTERM.
TEST_P(WatchdogPings, ReadyThenPingsBetweenBurstsThenStopping) {
    const WatchdogCase &c = GetParam();
    if (c.abstract)
        listen("@korvicd-e2e-" + std::to_string(getpid()));
    else
        listen_at_path();
    // korvic_sim executes korvicd in its own process: korvicd's pid is the one started here,
    // known only after the fork; a shell puts it into WATCHDOG_PID just before the exec.
    std::string pid_setting = "unset WATCHDOG_PID; ";
    if (c.watchdog_pid != nullptr)
        pid_setting = std::string("export WATCHDOG_PID=") +
                      (std::string(c.watchdog_pid) == "self" ? "$$" : "1") + "; ";
    korvicd = std::make_unique<Process>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 pid_setting +
                                     "exec " KORVIC_SIM_BIN " -- " KORVICD_BIN " --sock " + sock +
                                     " --rate 0.001"},
        dir, dir / "korvicd.out", dir / "korvicd.err", env({"WATCHDOG_USEC=400000"}));

    const auto first = messages(30s, [](const std::string &m) { return m.starts_with("READY"); });
    ASSERT_FALSE(first.empty()) << korvicd_log();
    // The first burst read the board; with one burst, the board is still starting. Only
    // the watchdog's timer may have been quicker.
    EXPECT_EQ(first.back(),
              "READY=1\nSTATUS=starting; nothing fed yet; fed 0, dropped 1 "
              "(untrusted 1)");
    EXPECT_EQ(count(first, "WATCHDOG=1"), first.size() - 1);
    // No burst is due for 1000 s: 3 s at one WATCHDOG=1 per 200 ms, nothing else.
    const auto later = messages(3s, [](const std::string &) { return false; });
    if (c.pings) {
        EXPECT_GE(count(later, "WATCHDOG=1"), 10u);
        EXPECT_EQ(count(later, "WATCHDOG=1"), later.size());
    } else {
        EXPECT_TRUE(later.empty()) << later.size() << " messages, the first " << later[0];
    }
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
    const auto last = messages(5s, [](const std::string &m) { return m == "STOPPING=1"; });
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), "STOPPING=1");
}

const WatchdogCase kWatchdogCases[] = {
    {"PathSocket", false, nullptr, true},
    {"AbstractSocketForThisPid", true, "self", true},
    {"WatchdogOfAnotherPid", false, "other", false},
};

INSTANTIATE_TEST_SUITE_P(Korvicd, WatchdogPings, ::testing::ValuesIn(kWatchdogCases),
                         [](const auto &info) { return std::string(info.param.name); });

// STATUS= follows the health state at most once a second.
TEST_F(KorvicdNotify, StatusFollowsTheBoardAndItsSamples) {
    listen_at_path();
    Receiver chrony(sock);
    ASSERT_TRUE(chrony.bound());
    start_korvicd({"--sock", sock, "--rate", "10", "--offset", "-1ms"}, {"--offset", "+250ms"},
                  env());
    const auto got = messages(
        30s, [](const std::string &m) { return m.starts_with("STATUS=ok; offset +249."); });
    ASSERT_FALSE(got.empty()) << korvicd_log();
    EXPECT_THAT(got.front(), StartsWith("READY=1\nSTATUS=starting; nothing fed yet"));
    EXPECT_THAT(got.back(), ::testing::MatchesRegex("STATUS=ok; offset \\+249\\.[0-9]{3} ms, "
                                                    "bracket [0-9.]+ us; fed [0-9]+, dropped 3 "
                                                    "\\(untrusted 3\\)"));
    // At most one STATUS= a second: 10 bursts a second, a few messages.
    const auto second = messages(3s, [](const std::string &) { return false; });
    EXPECT_LE(second.size(), 4u);
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

// A required status bit that the board does not show: STATUS= names the mismatch.
TEST_F(KorvicdNotify, StatusNamesARequiredBitThatDisagrees) {
    listen_at_path();
    Receiver chrony(sock);
    ASSERT_TRUE(chrony.bound());
    start_korvicd({"--sock", sock, "--rate", "10", "--require-status", "8=1"},
                  {"--status-at", "0s:8=0"}, env());
    const auto got = messages(30s, [](const std::string &m) {
        return m.starts_with(
            "STATUS=status mismatch: status bit 8 reads 0 (--require-status "
            "8=1); nothing fed yet; fed 0, dropped ");
    });
    ASSERT_FALSE(got.empty()) << korvicd_log();
    EXPECT_TRUE(chrony.nothing_sent());
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

// A board whose lock another process holds all along gives no reading: no READY=1, so
// systemd keeps the unit starting; STATUS= says why.
TEST_F(KorvicdNotify, NoReadyWhileNoReadingSucceeds) {
    listen_at_path();
    korvicd = std::make_unique<Process>(
        std::vector<std::string>{KORVIC_SIM_BIN, "--", "/bin/sh", "-c",
                                 "exec 9<>/dev/korvic_sim/board && flock -n 9 && exec " KORVICD_BIN
                                 " --lock-wait 20ms --rate 10 --sock " +
                                     sock},
        dir, dir / "korvicd.out", dir / "korvicd.err", env());
    const auto got = messages(5s, [](const std::string &) { return false; });
    ASSERT_FALSE(got.empty()) << korvicd_log();
    for (const std::string &m : got)
        EXPECT_THAT(m, StartsWith("STATUS=starting; nothing fed yet; fed 0, dropped "));
    EXPECT_TRUE(
        std::regex_search(got.back(), std::regex("dropped ([1-9][0-9]*) \\(board busy \\1\\)$")))
        << got.back();
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
}

// ---------------------------------------------------------------------------------------
// The metrics file.
// ---------------------------------------------------------------------------------------

// The samples of an exposition: "name{labels}" to value, HELP and TYPE lines apart.
struct Exposed {
    std::map<std::string, double> samples;
    std::map<std::string, std::string> types;
};

Exposed parse(const std::string &text) {
    Exposed e;
    std::istringstream in(text);
    const std::regex type_line("# TYPE ([a-z_]+) (gauge|counter)");
    const std::regex sample_line("([a-z_]+(\\{[^}]*\\})?) (\\S+)");
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (std::regex_match(line, m, type_line))
            e.types[m[1]] = m[2];
        else if (std::regex_match(line, m, sample_line))
            e.samples[m[1]] = std::stod(m[3]);
        else if (!line.starts_with("# HELP "))
            ADD_FAILURE() << "not an exposition line: " << line;
    }
    return e;
}

// Two successive files: every counter grown or equal, none reset by the --stats interval;
// the board's state and offset as the simulator sets them; the file readable by another
// user, no temporary file left beside it, and gone after SIGTERM.
TEST_F(KorvicdE2E, MetricsFileCountsFromStartAndIsReplacedWhole) {
    const int kUnit = own_unit(3);  // removed again at the end
    const int stale = shmget(korvicd::shm_key(kUnit), 0, 0);
    if (stale >= 0)
        shmctl(stale, IPC_RMID, nullptr);
    shm_units.push_back(kUnit);
    const fs::path metrics = dir / "korvicd.prom";
    fs::copy_file(dir / "korvic_cfg.dat", dir / "board-a.dat");
    start_korvicd({"--shm", std::to_string(kUnit), "--rate", "10", "--stats", "1s",
                   "--metrics-file", metrics.string(), "--config", (dir / "board-a.dat").string(),
                   "--require-status", "8=1", "--require-status", "13=0"},
                  {"--offset", "+250ms", "--status-at", "0s:13=0"});
    const auto ok_line = "korvicd_health_state{board=\"board-a\",state=\"ok\"} 1";
    ASSERT_TRUE(wait_for([&] { return slurp(metrics).find(ok_line) != std::string::npos; }, 30s))
        << slurp(metrics) << korvicd_log();
    const std::string first = slurp(metrics);
    ASSERT_TRUE(wait_for([&] { return slurp(metrics) != first; }, 10s));
    const std::string second = slurp(metrics);

    const Exposed a = parse(first), b = parse(second);
    std::size_t counters = 0;
    for (const auto &[name, value] : a.samples) {
        const std::string family = name.substr(0, name.find('{'));
        if (a.types.at(family) != "counter")
            continue;
        ++counters;
        ASSERT_EQ(b.samples.count(name), 1u) << name;
        EXPECT_GE(b.samples.at(name), value) << name;
    }
    EXPECT_EQ(counters, 9u);  // fed, dropped by each of seven reasons, readings refused
    EXPECT_GT(b.samples.at("korvicd_samples_fed_total{board=\"board-a\"}"),
              a.samples.at("korvicd_samples_fed_total{board=\"board-a\"}"));
    // The three bursts before the board was trusted stay counted.
    EXPECT_EQ(b.samples.at("korvicd_samples_dropped_total{board=\"board-a\",reason=\"untrusted\"}"),
              3);
    EXPECT_NEAR(b.samples.at("korvicd_offset_seconds{board=\"board-a\"}"), 0.25, 200e-6);
    EXPECT_EQ(b.samples.at("korvicd_output_up{board=\"board-a\",output=\"shm\",target=\"" +
                           std::to_string(kUnit) + "\"}"),
              1);
    EXPECT_EQ(b.types.at("korvicd_build_info"), "gauge");
    // The required bits, each as required and as read; no leap second pending.
    for (const auto &[bit, value] : {std::pair{"8", 1}, std::pair{"13", 0}}) {
        const std::string labels = "{board=\"board-a\",bit=\"" + std::string(bit) + "\"}";
        EXPECT_EQ(b.samples.at("korvicd_status_bit_required" + labels), value) << bit;
        EXPECT_EQ(b.samples.at("korvicd_status_bit_read" + labels), value) << bit;
    }
    EXPECT_EQ(b.samples.at("korvicd_leap_second_pending{board=\"board-a\"}"), 0);

    EXPECT_EQ(fs::status(metrics).permissions() & fs::perms::others_read, fs::perms::others_read);
    for (const auto &e : fs::directory_iterator(dir))
        EXPECT_THAT(e.path().filename().string(), ::testing::Not(StartsWith(".korvicd.prom")));
    EXPECT_EQ(korvicd->stop(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(metrics));
}

}  // namespace
