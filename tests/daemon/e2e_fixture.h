// korvicd end to end, the fixture: the real program on the simulated board (korvic_sim),
// feeding a real chronyd. chronyd runs sandboxed: -x (it never touches the host's clock), -u
// root, its own configuration, pid file, drift file, command socket and log directory in a
// private 0700 directory; every test kills it at the end. What is checked is what chronyd
// reports (chronyc -c sources), polled until it shows or a generous time-out says it never
// will; what korvicd sends elsewhere arrives at a socket of the test's (Receiver).
#pragma once

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

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
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

namespace korvicd_e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using korvic::test::Process;
using korvic::test::Source;
using korvic::test::wait_until;

inline std::string slurp(const fs::path &p) {
    return korvic::test::slurp_file(p);
}
inline bool wait_for(const std::function<bool()> &ready, Clock::duration limit) {
    return korvic::test::wait_until(ready, limit);
}

// An SHM unit of this run's own, 16 to 255: the host's segments are shared by every
// process, and two runs of these tests at once (in other checkouts) must not take or remove
// each other's. `n` (0 to 3) tells a run's units apart.
inline int own_unit(int n) {
    return 16 + static_cast<int>((static_cast<unsigned>(getpid()) * 4u + static_cast<unsigned>(n)) %
                                 240u);
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
        // korvicd's output locks in the test's own directory, as systemd's RuntimeDirectory.
        setenv("RUNTIME_DIRECTORY", (dir / "run").c_str(), 1);
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
        chronyd = std::make_unique<korvic::test::Chronyd>(dir, sock, shm_unit);
        ASSERT_TRUE(chronyd->answers()) << "chronyd did not answer: " << chronyd->log();
    }
    std::map<std::string, Source> sources() { return chronyd->sources(); }
    // Polls chronyd until `refid` holds a sample whose offset lies within `tolerance` of
    // `want`, for at most `limit`. The last report seen, for the failure message.
    bool reports(const std::string &refid, double want, double tolerance, Clock::duration limit,
                 Source *last = nullptr) {
        return chronyd->reports(refid, want, tolerance, limit, last);
    }

    // korvicd on the simulated board: korvic_sim [sim_args] -- korvicd args, with `env`
    // ("NAME=VALUE") in its environment.
    void start_korvicd(const std::vector<std::string> &args,
                       const std::vector<std::string> &sim_args = {},
                       const std::vector<std::string> &env = {}) {
        std::vector<std::string> argv = {KORVIC_SIM_BIN};
        argv.insert(argv.end(), sim_args.begin(), sim_args.end());
        argv.push_back("--");
        argv.push_back(KORVICD_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        korvicd =
            std::make_unique<Process>(argv, dir, dir / "korvicd.out", dir / "korvicd.err",
                                      env.empty() ? env : korvic::test::environment_with(env));
    }
    std::string korvicd_log() { return slurp(dir / "korvicd.err"); }
    // How many lines of korvicd's log hold `text`.
    std::size_t logged_lines(const std::string &text) {
        std::istringstream in(korvicd_log());
        std::size_t n = 0;
        for (std::string line; std::getline(in, line);)
            n += line.find(text) != std::string::npos ? 1 : 0;
        return n;
    }
    // How many lines of korvicd's log match the regular expression `pattern` (anywhere).
    std::size_t logged_lines_matching(const std::string &pattern) {
        const std::regex re(pattern);
        std::istringstream in(korvicd_log());
        std::size_t n = 0;
        for (std::string line; std::getline(in, line);)
            n += std::regex_search(line, re) ? 1 : 0;
        return n;
    }
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
    // Runs another korvicd on the simulated board beside the one started, to its end, with
    // its own output files (second.out, second.err): its exit status.
    int run_second_korvicd(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {KORVIC_SIM_BIN, "--", KORVICD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        Process p(argv, dir, dir / "second.out", dir / "second.err");
        return p.wait();
    }
    // The chronyd's refclocks.log lines of `refid`, split in fields: date, time, refid,
    // sample number, leap status, ...
    std::vector<std::vector<std::string>> refclock_lines(const std::string &refid) {
        std::vector<std::vector<std::string>> out;
        std::istringstream in(slurp(dir / "refclocks.log"));
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::vector<std::string> f;
            for (std::string w; fields >> w;)
                f.push_back(w);
            if (f.size() > 4 && f[2] == refid)
                out.push_back(f);
        }
        return out;
    }

    // The samples of `refid` in chronyd's refclocks.log (the filter's lines left out): the
    // system time of each (seconds since 1970), its leap status ("N", "+", "-") and its raw
    // offset, the board's as korvicd sent it (positive: the board is ahead).
    struct RefclockSample {
        double at;
        std::string leap;
        double offset;
    };
    std::vector<RefclockSample> refclock_samples(const std::string &refid) {
        std::vector<RefclockSample> out;
        for (const auto &f : refclock_lines(refid)) {
            if (f.size() < 7 || f[3] == "-")
                continue;
            const korvic::utc_time t = korvic::parse_time(f[0] + "T" + f[1] + "Z");
            out.push_back(
                {static_cast<double>(t.time_since_epoch().count()) / 1e6, f[4], std::stod(f[6])});
        }
        return out;
    }

    fs::path dir;
    std::string sock;
    std::vector<int> shm_units;
    std::unique_ptr<korvic::test::Chronyd> chronyd;
    std::unique_ptr<Process> korvicd;
};

// A bound datagram socket, as chronyd binds for refclock SOCK and systemd for
// NOTIFY_SOCKET: at a path, or at an abstract name when `name` begins with '@'.
class Receiver {
  public:
    explicit Receiver(const std::string &name) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
        std::memcpy(addr.sun_path, name.data(), n);
        socklen_t length = sizeof addr;
        if (name.starts_with("@")) {
            addr.sun_path[0] = '\0';
            length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
        }
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), length) == 0;
    }
    ~Receiver() {
        if (fd_ >= 0)
            close(fd_);
    }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    bool bound() const { return bound_; }
    // The next datagram, waiting at most `limit`.
    std::optional<std::vector<unsigned char>> receive(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) != 1)
            return std::nullopt;
        std::vector<unsigned char> buf(4096);
        const ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return buf;
    }
    bool nothing_sent() {
        unsigned char b[64];
        return recv(fd_, b, sizeof b, MSG_DONTWAIT) < 0 && errno == EAGAIN;
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

// korvicd on its own: a socket of the test's in place of chronyd.
class KorvicdAlone : public KorvicdE2E {
  protected:
    void SetUp() override {
        KorvicdE2E::SetUp();
        rx = std::make_unique<Receiver>(sock);
        ASSERT_TRUE(rx->bound()) << sock << ": " << std::strerror(errno);
    }
    void TearDown() override {
        rx.reset();
        KorvicdE2E::TearDown();
    }
    std::optional<std::vector<unsigned char>> receive(std::chrono::milliseconds limit) {
        return rx->receive(limit);
    }
    bool nothing_sent() { return rx->nothing_sent(); }
    std::unique_ptr<Receiver> rx;
};

}  // namespace korvicd_e2e
