// The end-to-end tests' fixture: a temporary directory to run korvic_sim in, with a TMPDIR
// of its own, and readers for what a run leaves (output, the machine-readable trace).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

inline std::set<std::string> entries(const fs::path &d) {
    std::set<std::string> out;
    for (const auto &e : fs::directory_iterator(d))
        out.insert(e.path().filename().string());
    return out;
}

}  // namespace korvic::sim_test
