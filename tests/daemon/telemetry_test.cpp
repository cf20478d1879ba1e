// What korvicd tells systemd and Prometheus, in one process: NOTIFY_SOCKET and the watchdog
// variables read, the texts (STATUS=, the exposition) against exact vectors, the totals that
// an interval's reset leaves alone, and the two writers against real files and sockets.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metrics.h"
#include "notify.h"
#include "telemetry.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using korvicd::Drop;
using korvicd::Health;
using korvicd::nanoseconds;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// ---------------------------------------------------------------------------------------
// NOTIFY_SOCKET and the watchdog's variables.
// ---------------------------------------------------------------------------------------

struct AddressCase {
    std::string value;
    bool ok;
    bool abstract;
};

TEST(NotifyAddress, PathsAndAbstractNamesAndWhatIsRefused) {
    const std::size_t room = sizeof(sockaddr_un{}.sun_path);
    const std::vector<AddressCase> cases = {
        {"/run/systemd/notify", true, false},
        {"@/org/freedesktop/systemd1/notify/42", true, true},
        {"/" + std::string(room - 2, 'p'), true, false},  // its 0 byte just fits
        {"/" + std::string(room - 1, 'p'), false, false},
        {"@" + std::string(room - 1, 'a'), true, true},  // no 0 byte: counted by length
        {"@" + std::string(room, 'a'), false, true},
        {"", false, false},
        {"@", false, true},
        {"run/systemd/notify", false, false},
        {"vsock:2:1234", false, false},
    };
    for (const AddressCase &c : cases) {
        std::string problem;
        const auto a = korvicd::notify_address(c.value, problem);
        ASSERT_EQ(a.has_value(), c.ok) << c.value << ": " << problem;
        if (!c.ok) {
            EXPECT_THAT(problem, HasSubstr("NOTIFY_SOCKET")) << c.value;
            continue;
        }
        const std::size_t named = c.value.size() + (c.abstract ? 0 : 1);
        EXPECT_EQ(a->length, offsetof(sockaddr_un, sun_path) + named) << c.value;
        EXPECT_EQ(a->addr.sun_family, AF_UNIX);
        EXPECT_EQ(a->addr.sun_path[0], c.abstract ? '\0' : '/') << c.value;
        EXPECT_EQ(std::string(a->addr.sun_path + 1, c.value.size() - 1), c.value.substr(1));
    }
}

struct WatchdogCase {
    const char *usec;
    const char *pid;  // "self" for this process
    std::optional<nanoseconds> interval;
};

TEST(WatchdogInterval, HalfOfWatchdogUsecForThisProcessOnly) {
    const std::string self = std::to_string(getpid());
    const std::string other = std::to_string(getpid() + 1);
    const std::vector<WatchdogCase> cases = {
        {"30000000", nullptr, 15s},
        {"30000000", "self", 15s},
        {"30000000", "other", std::nullopt},
        {"1", nullptr, 500ns},
        {"86400000000", nullptr, 12h},
        {"86400000001", nullptr, std::nullopt},
        {"0", nullptr, std::nullopt},
        {"", nullptr, std::nullopt},
        {"-30000000", nullptr, std::nullopt},
        {"30s", nullptr, std::nullopt},
        {"99999999999999999999999", nullptr, std::nullopt},
        {nullptr, nullptr, std::nullopt},
        {"30000000", "", std::nullopt},
        {"30000000", "12x", std::nullopt},
    };
    for (const WatchdogCase &c : cases) {
        const char *pid = c.pid;
        if (pid != nullptr && std::string(pid) == "self")
            pid = self.c_str();
        else if (pid != nullptr && std::string(pid) == "other")
            pid = other.c_str();
        EXPECT_EQ(korvicd::watchdog_interval(c.usec, pid, getpid()), c.interval)
            << (c.usec ? c.usec : "(unset)") << " pid " << (c.pid ? c.pid : "(unset)");
    }
}

// ---------------------------------------------------------------------------------------
// The texts.
// ---------------------------------------------------------------------------------------

TEST(BoardName, TheConfigurationFileLessDat) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/etc/korvic/a.dat", "a"},           {"/etc/korvic/korvic_cfg.dat", "korvic_cfg"},
        {"korvic_cfg.2.dat", "korvic_cfg.2"}, {"/etc/korvic/.dat", ".dat"},
        {"board.conf", "board.conf"},         {"/dev/stdin", "stdin"},
    };
    for (const auto &[config, name] : cases)
        EXPECT_EQ(korvicd::board_name(config), name) << config;
}

korvicd::Snapshot some_snapshot() {
    korvicd::Snapshot s;
    s.board = "a";
    s.health = Health::ok;
    korvicd::Tally t;
    for (int i = 0; i < 3; ++i)
        t.dropped(Drop::untrusted);
    t.dropped(Drop::chronyd_away);
    t.kept(korvic::Offset{-250'012'345ns}, 181'200ns);
    t.kept(korvic::Offset{-250'013'000ns}, 181'250ns);
    s.totals = t.totals();
    s.outputs = {{"sock", "/run/chrony.korvicd-a.sock", true}, {"shm", "2", true}};
    return s;
}

TEST(StatusText, HealthFirstThenTheLastSampleAndTheCounts) {
    korvicd::Snapshot s = some_snapshot();
    EXPECT_EQ(korvicd::status_text(s),
              "ok; offset -250.013 ms, bracket 181.2 us; fed 2, dropped 4 (untrusted 3, "
              "chronyd away 1)");
    s.outputs[0].up = false;
    s.health = Health::rate;
    EXPECT_EQ(korvicd::status_text(s),
              "rate error; offset -250.013 ms, bracket 181.2 us; fed 2, dropped 4 (untrusted "
              "3, chronyd away 1); sock /run/chrony.korvicd-a.sock unreachable");
    EXPECT_EQ(korvicd::status_text(korvicd::Snapshot{}),
              "starting; nothing fed yet; fed 0, dropped 0");
    // A status mismatch names the bit; a leap second due at the end of the day is said.
    s.outputs[0].up = true;
    s.health = Health::status;
    s.unmet = korvicd::StatusRequirement{8, true};
    s.leap = 2;
    EXPECT_EQ(korvicd::status_text(s),
              "status mismatch: status bit 8 reads 0 (--require-status 8=1); offset -250.013 ms, "
              "bracket 181.2 us; fed 2, dropped 4 (untrusted 3, chronyd away 1); leap second "
              "deleted at the end of the day");
}

TEST(Tally, AnIntervalsResetLeavesTheTotals) {
    korvicd::Tally t;
    t.dropped(Drop::board_busy);
    EXPECT_FALSE(t.totals().board_answered()) << "a busy board gave no reading";
    t.dropped(Drop::wide_bracket);
    EXPECT_TRUE(t.totals().board_answered());
    t.kept(korvic::Offset{1us}, 9us);
    t.reset();
    EXPECT_THAT(t.line(1s), HasSubstr("kept 0, dropped 0"));
    EXPECT_EQ(t.totals().fed, 1u);
    EXPECT_EQ(t.totals().dropped_count(), 2u);
    EXPECT_EQ(t.totals().last_offset, korvic::Offset{1us});
    EXPECT_EQ(t.totals().last_bracket, 9us);
}

TEST(Exposition, LabelValuesAndSampleValues) {
    const std::vector<std::pair<std::string, std::string>> labels = {
        {"/run/chrony.korvicd.sock", "/run/chrony.korvicd.sock"},
        {"a\"b", "a\\\"b"},
        {"a\\b", "a\\\\b"},
        {"a\nb", "a\\nb"},
        {"\\\"\n", "\\\\\\\"\\n"},
    };
    for (const auto &[value, escaped] : labels)
        EXPECT_EQ(korvicd::escape_label_value(value), escaped) << value;
    const std::vector<std::pair<double, std::string>> values = {
        {0.25, "0.25"},
        {-0.250012345, "-0.250012345"},
        {1.0067e-05, "1.0067e-05"},
        {3, "3"},
        {0, "0"},
        {1e300, "1e+300"},
        {std::nan(""), "NaN"},
        {1.0 / 0.0, "+Inf"},
        {-1.0 / 0.0, "-Inf"},
    };
    for (const auto &[v, text] : values)
        EXPECT_EQ(korvicd::sample_value(v), text) << text;
}

TEST(Exposition, FamiliesStayTogetherWithOneHelpAndType) {
    korvicd::Exposition m(korvicd::Labels{{"board", "a"}});
    m.counter("x_total", "Xs.", 1, {{"reason", "p"}});
    m.gauge("y", "Y.", 0.5);
    m.counter("x_total", "Xs.", 2, {{"reason", "q"}});
    EXPECT_EQ(m.text(),
              "# HELP x_total Xs.\n# TYPE x_total counter\n"
              "x_total{board=\"a\",reason=\"p\"} 1\nx_total{board=\"a\",reason=\"q\"} 2\n"
              "# HELP y Y.\n# TYPE y gauge\ny{board=\"a\"} 0.5\n");
    korvicd::Exposition bare(korvicd::Labels{});
    bare.gauge("z", "Z.", 1);
    EXPECT_EQ(bare.text(), "# HELP z Z.\n# TYPE z gauge\nz 1\n");
}

// The names, types and labels are what dashboards and alerts are written against.
TEST(MetricsText, EveryFamilyOfASnapshot) {
    const std::string text = korvicd::metrics_text(some_snapshot(), "1.2.3");
    EXPECT_EQ(text,
              "# HELP korvicd_build_info korvicd's version; always 1\n"
              "# TYPE korvicd_build_info gauge\n"
              "korvicd_build_info{board=\"a\",version=\"1.2.3\"} 1\n"
              "# HELP korvicd_health_state The board's health state: 1 for the current one\n"
              "# TYPE korvicd_health_state gauge\n"
              "korvicd_health_state{board=\"a\",state=\"starting\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"ok\"} 1\n"
              "korvicd_health_state{board=\"a\",state=\"stopped\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"stepped\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"rate_error\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"recovering\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"out_of_range\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"leap_second\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"missed_leap_second\"} 0\n"
              "korvicd_health_state{board=\"a\",state=\"status_mismatch\"} 0\n"
              "# HELP korvicd_offset_seconds Board time less system time of the last fed "
              "sample, --offset included\n"
              "# TYPE korvicd_offset_seconds gauge\n"
              "korvicd_offset_seconds{board=\"a\"} -0.250013\n"
              "# HELP korvicd_bracket_seconds Bracket of the last fed sample\n"
              "# TYPE korvicd_bracket_seconds gauge\n"
              "korvicd_bracket_seconds{board=\"a\"} 0.00018125\n"
              "# HELP korvicd_samples_fed_total Samples given to an output since start\n"
              "# TYPE korvicd_samples_fed_total counter\n"
              "korvicd_samples_fed_total{board=\"a\"} 2\n"
              "# HELP korvicd_samples_dropped_total Samples dropped since start, by reason\n"
              "# TYPE korvicd_samples_dropped_total counter\n"
              "korvicd_samples_dropped_total{board=\"a\",reason=\"wide_bracket\"} 0\n"
              "korvicd_samples_dropped_total{board=\"a\",reason=\"untrusted\"} 3\n"
              "korvicd_samples_dropped_total{board=\"a\",reason=\"beyond_max_offset\"} 0\n"
              "korvicd_samples_dropped_total{board=\"a\",reason=\"queue_full\"} 0\n"
              "korvicd_samples_dropped_total{board=\"a\",reason=\"chronyd_away\"} 1\n"
              "korvicd_samples_dropped_total{board=\"a\",reason=\"board_busy\"} 0\n"
              "korvicd_samples_dropped_total{board=\"a\",reason=\"clock_stepped\"} 0\n"
              "# HELP korvicd_readings_refused_total Readings left out since start because the "
              "system clock stepped back inside them\n"
              "# TYPE korvicd_readings_refused_total counter\n"
              "korvicd_readings_refused_total{board=\"a\"} 0\n"
              "# HELP korvicd_leap_second_pending The leap second at the end of this UTC day: "
              "1 inserted, -1 deleted, 0 none\n"
              "# TYPE korvicd_leap_second_pending gauge\n"
              "korvicd_leap_second_pending{board=\"a\"} 0\n"
              "# HELP korvicd_output_up Whether samples reach the output: 1 yes, 0 no\n"
              "# TYPE korvicd_output_up gauge\n"
              "korvicd_output_up{board=\"a\",output=\"sock\",target=\"/run/"
              "chrony.korvicd-a.sock\"} 1\n"
              "korvicd_output_up{board=\"a\",output=\"shm\",target=\"2\"} 1\n");
    // Required status bits: the value required of each and, once a reading came, the value
    // it read; a leap second pending.
    korvicd::Snapshot bits = some_snapshot();
    bits.required = {{8, true}, {13, false}};
    bits.leap = 1;
    const auto families = [](const std::string &all) {
        std::string out;
        std::istringstream in(all);
        for (std::string line; std::getline(in, line);)
            if (line.starts_with("korvicd_status_bit") || line.starts_with("korvicd_leap"))
                out += line + "\n";
        return out;
    };
    EXPECT_EQ(families(korvicd::metrics_text(bits, "1.2.3")),
              "korvicd_status_bit_required{board=\"a\",bit=\"8\"} 1\n"
              "korvicd_status_bit_required{board=\"a\",bit=\"13\"} 0\n"
              "korvicd_leap_second_pending{board=\"a\"} 1\n");
    bits.status_word = 0x2000u;  // bit 13 set, bit 8 clear
    bits.leap = 2;
    EXPECT_EQ(families(korvicd::metrics_text(bits, "1.2.3")),
              "korvicd_status_bit_required{board=\"a\",bit=\"8\"} 1\n"
              "korvicd_status_bit_required{board=\"a\",bit=\"13\"} 0\n"
              "korvicd_status_bit_read{board=\"a\",bit=\"8\"} 0\n"
              "korvicd_status_bit_read{board=\"a\",bit=\"13\"} 1\n"
              "korvicd_leap_second_pending{board=\"a\"} -1\n");
    // Before the first fed sample there is no offset or bracket to show.
    EXPECT_THAT(korvicd::metrics_text(korvicd::Snapshot{}, "1.2.3"),
                ::testing::Not(HasSubstr("korvicd_offset_seconds")));
}

// ---------------------------------------------------------------------------------------
// The writers, against a real directory and real sockets.
// ---------------------------------------------------------------------------------------

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "korvicd-tel-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto &e : fs::directory_iterator(dir))
            out.push_back(e.path().filename().string());
        return out;
    }
    static std::string slurp(const fs::path &p) {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    fs::path dir;
};

using MetricsFileTest = TempDir;

TEST_F(MetricsFileTest, ReplacedWholeReadableByAllAndNothingElseLeft) {
    const fs::path path = dir / "korvicd-a.prom";
    korvicd::MetricsFile f(path.string());
    std::vector<std::string> log;
    const mode_t saved = umask(077);  // the unit's UMask=
    f.write("x 1\n", log);
    f.write("x 2\n", log);
    umask(saved);
    EXPECT_TRUE(log.empty()) << log.front();
    EXPECT_EQ(slurp(path), "x 2\n");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                  fs::perms::group_read | fs::perms::others_read);
    EXPECT_THAT(names(), ElementsAre("korvicd-a.prom"));
    f.remove();
    EXPECT_TRUE(names().empty());
}

TEST_F(MetricsFileTest, AFailureIsLoggedOnceUntilAWriteWorksAgain) {
    const fs::path sub = dir / "node-exporter";
    korvicd::MetricsFile f((sub / "korvicd.prom").string());
    std::vector<std::string> log;
    f.write("x 1\n", log);
    f.write("x 1\n", log);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "metrics file " + (sub / "korvicd.prom").string() +
                          ": create: No such file or directory; logged once until it is "
                          "written again");
    fs::create_directory(sub);
    f.write("x 2\n", log);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "metrics file " + (sub / "korvicd.prom").string() + " written again");
    EXPECT_EQ(slurp(sub / "korvicd.prom"), "x 2\n");
}

using NotifierTest = TempDir;

TEST_F(NotifierTest, OneDatagramPerMessageAndOutagesLoggedOnce) {
    const std::string path = (dir / "notify").string();
    std::string problem;
    korvicd::Notifier n(*korvicd::notify_address(path, problem));
    std::vector<std::string> log;
    EXPECT_FALSE(n.send("READY=1", log));  // nobody bound yet
    EXPECT_FALSE(n.send("READY=1", log));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_THAT(log[0], HasSubstr("No such file or directory"));

    const int rx = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_TRUE(n.send("READY=1\nSTATUS=ok", log));
    EXPECT_TRUE(n.send("WATCHDOG=1", log));
    EXPECT_THAT(log, ElementsAre(HasSubstr("not sent"), "systemd takes notifications again"));
    char buf[64];
    ASSERT_EQ(recv(rx, buf, sizeof buf, MSG_DONTWAIT), 17);
    EXPECT_EQ(std::string(buf, 17), "READY=1\nSTATUS=ok");
    ASSERT_EQ(recv(rx, buf, sizeof buf, MSG_DONTWAIT), 10);
    EXPECT_EQ(std::string(buf, 10), "WATCHDOG=1");
    close(rx);
}

TEST(Notifier, WithoutNotifySocketSendsNothingAndABadOneIsLogged) {
    const char *saved = std::getenv("NOTIFY_SOCKET");
    const std::string kept = saved != nullptr ? saved : "";
    std::vector<std::string> log;
    unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(korvicd::Notifier::from_environment(log).enabled());
    setenv("NOTIFY_SOCKET", "relative/notify", 1);
    EXPECT_FALSE(korvicd::Notifier::from_environment(log).enabled());
    setenv("NOTIFY_SOCKET", "@korvicd-test", 1);
    EXPECT_TRUE(korvicd::Notifier::from_environment(log).enabled());
    if (saved != nullptr)
        setenv("NOTIFY_SOCKET", kept.c_str(), 1);
    else
        unsetenv("NOTIFY_SOCKET");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0],
              "NOTIFY_SOCKET \"relative/notify\": neither an absolute path nor an abstract name "
              "(@NAME): systemd is not told korvicd's state");
}

}  // namespace
