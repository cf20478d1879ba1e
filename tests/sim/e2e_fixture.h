// The end-to-end tests' fixture: a temporary directory to run korvic_sim in, with a TMPDIR
// of its own, and readers for what a run leaves (output, the machine-readable trace); a
// run held open for the test to start programs in, and processes of the test's own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child_exec.h"

namespace korvic::sim_test {

namespace fs = std::filesystem;

// The longest device path that korvic_cfg.dat carries whole (see sim/settings.h).
inline constexpr std::size_t kMaxPathLength = 118;

struct Result {
    int status = -1;
    std::string out, err;
};

struct Row {
    std::uint64_t seq;
    std::string device;
    char dir;
    std::uint32_t offset;
    std::string name;
    std::uint32_t value;
    std::string note;
    long pid;
};

inline std::string slurp(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline std::vector<Row> read_tsv(const fs::path &p) {
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
        if (f.size() != 8 || f[2].size() != 1) {
            ADD_FAILURE() << "bad trace line: " << line;
            continue;
        }
        rows.push_back({std::stoull(f[0]), f[1], f[2][0],
                        static_cast<std::uint32_t>(std::stoul(f[3], nullptr, 16)), f[4],
                        static_cast<std::uint32_t>(std::stoul(f[5], nullptr, 16)), f[6],
                        std::stol(f[7])});
    }
    return rows;
}

inline std::vector<Row> only(const std::vector<Row> &rows, const std::string &device) {
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
    // A run whose program died of a signal is cleaned up by the launcher's watcher, just
    // after: wait for it (a minute as a way out) before removing the directory.
    void TearDown() override {
        for (int i = 0; i < 6000 && !scratch_empty(); ++i)
            usleep(10000);
        EXPECT_TRUE(scratch_empty()) << "a run's directory was left behind";
        fs::remove_all(dir);
    }
    bool scratch_empty() const {
        std::error_code ec;
        return !fs::exists(dir / "scratch", ec) || fs::is_empty(dir / "scratch", ec);
    }

    void write_cfg(const std::string &body) { std::ofstream(dir / "korvic_cfg.dat") << body; }

    // Runs `args` (a shell-quoted command line) in dir with `input` on standard input. The
    // launchers make their directories in a TMPDIR of the test's own (unless `args` sets
    // another), where no other test leaves anything.
    Result run(const std::string &args, const std::string &input = "") {
        std::ofstream(dir / "stdin.txt") << input;
        fs::create_directories(dir / "scratch");
        const std::string cmd = "cd '" + dir.string() + "' && export TMPDIR='" +
                                (dir / "scratch").string() + "' && " + args +
                                " <stdin.txt >stdout.txt 2>stderr.txt";
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

// Waits until the process `pid` has ended (a zombie has ended), a minute as a way out.
inline bool ended(pid_t pid) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd p{fd, POLLIN, 0};
    const bool done = poll(&p, 1, 60000) == 1;
    close(fd);
    return done;
}

// A process of the test's own, with its standard input and output on pipes.
class Child {
  public:
    // argv[0] is a path; env: the whole environment (empty: the test's own).
    Child(const std::vector<std::string> &argv, const std::vector<std::string> &env,
          const fs::path &cwd, int err_fd = -1) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        const korvic::test::ExecArgs exec(argv, env);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (err_fd >= 0)
                dup2(err_fd, 2);
            if (chdir(cwd.c_str()) != 0)
                _exit(126);
            exec.exec();
        }
        close(in[0]);
        close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~Child() {
        close_input();
        if (out_ >= 0)
            close(out_);
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            wait(1000);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    void close_input() {
        if (in_ >= 0)
            close(in_);
        in_ = -1;
    }
    // Reads until `text` has come (a minute as a way out).
    bool wait_for(const std::string &text) {
        while (seen_.find(text) == std::string::npos)
            if (!read_some(60000))
                return false;
        return true;
    }
    // Waits for the end (ms as a way out); the exit status, 128 + signal, or -1.
    int wait(int ms = 60000) {
        const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
        pollfd p{fd, POLLIN, 0};
        if (fd >= 0 && poll(&p, 1, ms) != 1)
            kill(pid_, SIGKILL);
        if (fd >= 0)
            close(fd);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        while (read_some(0)) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }
    const std::string &seen() const { return seen_; }

  private:
    bool read_some(int ms) {
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1)
            return false;
        char buf[4096];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0)
            return false;
        seen_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    int status_ = -1;
    std::string seen_;
};

// The process state letter of `pid` ('R', 'S', ...), or 0.
inline char state_of(pid_t pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() ? stat[paren + 2] : '\0';
}

class HeldRun : public SimE2E {
  protected:
    // A launcher whose program stays until its input ends, and the environment it gives
    // the programs of the run (to start more of them from the test).
    std::unique_ptr<Child> hold_run(const std::string &options) {
        fs::create_directories(dir / "scratch");
        auto held = std::make_unique<Child>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "export TMPDIR='" + (dir / "scratch").string() + "' && exec " +
                                         sim + " " + options +
                                         " -- sh -c 'env >env.txt && echo ready && exec cat'"},
            std::vector<std::string>{}, dir);
        if (!held->wait_for("ready\n"))
            return held;
        std::ifstream in(dir / "env.txt");
        run_env.clear();
        for (std::string line; std::getline(in, line);)
            run_env.push_back(line);
        return held;
    }
    std::string run_env_value(const std::string &name) const {
        for (const std::string &e : run_env)
            if (e.rfind(name + "=", 0) == 0)
                return e.substr(name.size() + 1);
        return "";
    }

    // A program of the run (sim_client times N) stopped inside a register access, in the
    // middle of a snapshot: its trace goes to a pipe that nobody reads, and once the pipe
    // is full the program sleeps in write(2), inside the run's access lock and the board
    // lock. `trace` gets the pipe's reading end, for the test to drain (or close). Null
    // when the program did not get there within a minute.
    std::unique_ptr<Child> stuck_in_access(int &trace, long readings = 100000000) {
        int pipe[2];
        if (pipe2(pipe, O_CLOEXEC) != 0)
            return nullptr;
        fcntl(pipe[1], F_SETPIPE_SZ, 4096);
        const int capacity = fcntl(pipe[1], F_GETPIPE_SZ);
        std::vector<std::string> env = run_env;
        env.push_back("KORVIC_SIM_TRACE=-");
        auto holder = std::make_unique<Child>(
            std::vector<std::string>{client, "times", std::to_string(readings)}, env, dir, pipe[1]);
        close(pipe[1]);
        trace = pipe[0];
        for (int i = 0; i < 60000; ++i) {
            int queued = 0;
            ioctl(trace, FIONREAD, &queued);
            if (queued > capacity - 512 && state_of(holder->pid()) == 'S')
                return holder;
            usleep(1000);
        }
        return nullptr;
    }

    std::vector<std::string> run_env;
};

inline std::set<std::string> entries(const fs::path &d) {
    std::set<std::string> out;
    for (const auto &e : fs::directory_iterator(d))
        out.insert(e.path().filename().string());
    return out;
}

}  // namespace korvic::sim_test
