// A real chronyd for end-to-end tests, sandboxed: -x (it never touches the host's clock),
// -u root, its own configuration, pid file, drift file, command socket and log directory
// in the test's private directory, stopped when it goes; and chronyc's view of its
// sources. Also the child processes the tests start (output and errors into files) and a
// bounded wait. Header-only, GoogleTest-free.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_exec.h"

namespace korvic::test {

namespace fs = std::filesystem;

inline std::string slurp_file(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Polls `ready` every 100 ms until it holds or `limit` has passed: the way out of a wait
// for something that never comes, never the thing checked.
inline bool wait_until(const std::function<bool()> &ready,
                       std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (ready())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{100});
    }
}

// A child process with its standard output and error in files, standard input /dev/null,
// in `cwd`, with the test's environment or `env` (every entry, "NAME=value"). Killed when
// the object goes.
class Process {
  public:
    Process(const std::vector<std::string> &argv, const fs::path &cwd, const fs::path &out,
            const fs::path &err, const std::vector<std::string> &env = {}) {
        const ExecArgs exec(argv, env);
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
            exec.exec();
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
            if (!wait_until([&] { return !running(); }, std::chrono::seconds{20})) {
                kill(pid_, SIGKILL);
                int st = 0;
                waitpid(pid_, &st, 0);
                status_ = st;
            }
        }
        const int st = *status_;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    // Waits for the process to end by itself (at most `limit`, then SIGKILL).
    int wait(std::chrono::seconds limit = std::chrono::seconds{60}) {
        wait_until([&] { return !running(); }, limit);
        return stop(SIGKILL);
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// One source as chronyc -n -c sources reports it.
struct Source {
    std::string refid;
    unsigned reach = 0;         // the 8-bit reachability register (octal in chronyc's text)
    std::uint64_t last_rx = 0;  // seconds since the last sample (4294967295: never)
    double offset = 0;          // seconds; positive: the host is ahead of the source
    double error = 0;
};

// chronyd with a SOCK reference clock at `sock` (refid KRVC) and, for a unit, an SHM one
// (refid KSHM), every file of its own in `dir`; its samples logged in dir/refclocks.log.
class Chronyd {
  public:
    Chronyd(const fs::path &dir, const std::string &sock,
            std::optional<int> shm_unit = std::nullopt)
        : dir_(dir) {
        std::ofstream conf(dir / "chrony.conf");
        conf << "refclock SOCK " << sock << " refid KRVC poll 0 filter 1 noselect\n";
        if (shm_unit)
            conf << "refclock SHM " << *shm_unit << " refid KSHM poll 0 filter 1 noselect\n";
        conf << "log refclocks\n"
             << "pidfile " << (dir / "chronyd.pid").string() << "\n"
             << "driftfile " << (dir / "chrony.drift").string() << "\n"
             << "bindcmdaddress " << (dir / "chronyd.sock").string() << "\n"
             << "cmdport 0\nport 0\n"
             << "logdir " << dir.string() << "\n";
        conf.close();
        process_ = std::make_unique<Process>(
            std::vector<std::string>{CHRONYD_BIN, "-x", "-d", "-u", "root", "-f",
                                     (dir / "chrony.conf").string()},
            dir, dir / "chronyd.out", dir / "chronyd.err");
    }

    // Until chronyc answers with the SOCK source (30 s as a way out).
    bool answers() {
        return wait_until([&] { return sources().count("KRVC") == 1; }, std::chrono::seconds{30});
    }
    int stop(int sig) { return process_->stop(sig); }
    std::string log() const { return slurp_file(dir_ / "chronyd.err"); }

    // chronyc -n -c sources, by refid.
    std::map<std::string, Source> sources() const {
        const std::string cmd = std::string(CHRONYC_BIN) + " -h " +
                                (dir_ / "chronyd.sock").string() + " -n -c sources 2>/dev/null";
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

    // Polls until `refid` holds a recent sample whose offset lies within `tolerance` of
    // `want`, for at most `limit`. The last report seen, for the failure message.
    bool reports(const std::string &refid, double want, double tolerance,
                 std::chrono::steady_clock::duration limit, Source *last = nullptr) const {
        return wait_until(
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

  private:
    fs::path dir_;
    std::unique_ptr<Process> process_;
};

}  // namespace korvic::test
