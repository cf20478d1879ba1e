// End to end: what the programs attach to. A register window is mapped only from what can be
// a board (never a file on disk, never a disk), never on a closed standard descriptor, and
// a configuration that is a FIFO, a device or a socket cannot hang a program. Run through
// the real korvic, korvic_test and an init_847 program (the read_time example), on plain
// files, a loop device, a window in /dev/shm and the simulator.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <linux/magic.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_fixture.h"
#include "memory_file.h"

namespace {

namespace fs = std::filesystem;
using korvic::sim_test::SimE2E;
using korvic::test::MemoryFile;

// {korvic}, {console}, {read_time} and {sim} in a command line stand for the programs.
std::string expand(std::string cmd) {
    const std::pair<std::string, std::string> programs[] = {{"{korvic}", KORVIC_BIN},
                                                            {"{console}", KORVIC_TEST_BIN},
                                                            {"{read_time}", READ_TIME_BIN},
                                                            {"{sim}", KORVIC_SIM_BIN}};
    for (const auto &[name, value] : programs)
        for (auto at = cmd.find(name); at != std::string::npos; at = cmd.find(name, at))
            cmd.replace(at, name.size(), value);
    return cmd;
}

// The first 64 KiB of a file or device: what must not change.
std::string head_of(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::string bytes(65536, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// A loop device over a disk image, detached again when the object goes.
class LoopDevice {
  public:
    explicit LoopDevice(const fs::path &image) {
        const std::string cmd = "losetup --find --show '" + image.string() + "' 2>/dev/null";
        if (FILE *p = popen(cmd.c_str(), "r")) {
            char line[256] = {};
            if (std::fgets(line, sizeof line, p) != nullptr)
                device_ = std::string(line).substr(0, std::strcspn(line, "\n"));
            pclose(p);
        }
    }
    ~LoopDevice() {
        if (!device_.empty()) {
            EXPECT_EQ(std::system(("losetup -d '" + device_ + "'").c_str()), 0) << device_;
        }
    }
    LoopDevice(const LoopDevice &) = delete;
    LoopDevice &operator=(const LoopDevice &) = delete;
    const std::string &device() const { return device_; }

  private:
    std::string device_;
};

class AttachE2E : public SimE2E {
  protected:
    korvic::sim_test::Result run_cmd(const std::string &cmd) { return run(expand(cmd)); }
};

// ---------------------------------------------------------------------------------------
// What MEM_PATH= names.
// ---------------------------------------------------------------------------------------

enum class Target : std::uint8_t { DiskCopy, LoopDevice, MemoryWindow, Simulator, SimulatedNode };

struct WindowCase {
    const char *name;
    Target target;
    const char *reason;  // in the report of a refused window; nullptr: the commands work
};

void PrintTo(const WindowCase &c, std::ostream *os) {
    *os << c.name;
}

struct Command {
    const char *line;
    int refused_status;  // korvic_test ends with -1 when init_847 fails
};

const Command kCommands[] = {
    {"{korvic} time", 1},
    {"{korvic} preset 2030-01-01T00:00:00Z", 1},
    {"{console}", 255},
    {"{read_time}", 1},
};

class Windows : public AttachE2E, public ::testing::WithParamInterface<WindowCase> {};

// Each command on each target: refused with the reason and the target unchanged, or
// attached as before.
TEST_P(Windows, AreRefusedUnlessTheyCanBeABoard) {
    const WindowCase &c = GetParam();
    fs::path target;
    std::optional<LoopDevice> loop;
    std::optional<MemoryFile> memory;
    switch (c.target) {
        case Target::DiskCopy: {
            // A system file long enough for the window, copied beside the configuration.
            for (const char *p : {"/etc/services", "/etc/protocols", "/etc/passwd"})
                if (std::error_code ec; fs::file_size(p, ec) >= 512 && !ec) {
                    fs::copy_file(p, dir / "system-file");
                    break;
                }
            ASSERT_TRUE(fs::exists(dir / "system-file")) << "no system file of 512 bytes";
            struct statfs sf {};
            ASSERT_EQ(statfs(dir.c_str(), &sf), 0);
            if (sf.f_type == TMPFS_MAGIC || sf.f_type == RAMFS_MAGIC)
                GTEST_SKIP() << dir << " is in memory, not on a disk file system";
            target = dir / "system-file";
            break;
        }
        case Target::LoopDevice: {
            if (geteuid() != 0)
                GTEST_SKIP() << "a loop device needs root";
            std::string image(65536, '\0');
            for (std::size_t i = 0; i < image.size(); ++i)
                image[i] = static_cast<char>(i * 7 + 1);
            std::ofstream(dir / "disk.img", std::ios::binary) << image;
            loop.emplace(dir / "disk.img");
            if (loop->device().empty())
                GTEST_SKIP() << "no loop device to be had (losetup --find failed)";
            target = loop->device();
            break;
        }
        case Target::MemoryWindow:
            memory.emplace(512);
            target = memory->path();
            break;
        case Target::Simulator:
            break;
        case Target::SimulatedNode:  // the board's interrupt node, which the simulator serves
            target = "/dev/korvic_sim/uio";
            break;
    }
    write_cfg(c.target == Target::Simulator ? cfg_devices : "MEM_PATH=" + target.string() + "\n");
    const bool simulated = c.target == Target::Simulator || c.target == Target::SimulatedNode;
    const std::string before = target.empty() || simulated ? "" : head_of(target);
    for (const Command &command : kCommands) {
        const std::string line =
            simulated ? std::string("{sim} --virtual -- ") + command.line : command.line;
        const korvic::sim_test::Result r = run_cmd(line);
        if (c.reason == nullptr) {
            EXPECT_EQ(r.status, 0) << command.line << "\n" << r.err;
            continue;
        }
        EXPECT_EQ(r.status, command.refused_status) << command.line << "\n" << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << command.line << "\n" << r.err;
        EXPECT_NE(r.err.find(target.string()), std::string::npos) << command.line;
        if (!simulated) {
            EXPECT_TRUE(head_of(target) == before) << command.line << " changed " << target;
        }
    }
}

const WindowCase kWindowCases[] = {
    {"DiskCopyOfASystemFile", Target::DiskCopy, "is a regular file on a disk file system"},
    {"LoopDeviceOverADiskImage", Target::LoopDevice, "is a block device"},
    {"MemoryWindowOf512Bytes", Target::MemoryWindow, nullptr},
    {"Simulator", Target::Simulator, nullptr},
    {"InterruptNode", Target::SimulatedNode,
     "is the board's interrupt node, not a window (name it in UIO_PATH=)"},
};

INSTANTIATE_TEST_SUITE_P(Korvic, Windows, ::testing::ValuesIn(kWindowCases),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------
// Closed standard descriptors.
// ---------------------------------------------------------------------------------------

// A program started with descriptor 0, 1 or 2 closed does not attach: the window would
// take that number, and what the program prints would go into the board. (korvic itself
// gives /dev/null to a closed standard input or error before it attaches; the C example
// shows what the library does on its own.)
TEST_F(AttachE2E, AClosedStandardDescriptorNeverBecomesTheWindow) {
    const MemoryFile window(512);
    write_cfg("MEM_PATH=" + window.path().string() + "\n");
    const std::string untouched = head_of(window.path());
    const char *const cases[][2] = {
        {"{korvic} time >&-", "standard output"},
        {"{korvic} --json status >&-", "standard output"},
        {"{read_time} <&-", "standard input"},
        {"{read_time} >&-", "standard output"},
    };
    for (const auto &[line, closed] : cases) {
        const korvic::sim_test::Result r = run_cmd(std::string("sh -c '") + line + "'");
        EXPECT_EQ(r.status, 1) << line << "\n" << r.err;
        EXPECT_NE(r.err.find(std::string(closed) + " is closed"), std::string::npos) << r.err;
        EXPECT_TRUE(head_of(window.path()) == untouched) << line << " wrote into the window";
    }
    // With standard error closed there is no report, and still nothing in the window.
    EXPECT_EQ(run_cmd("sh -c '{read_time} 2>&-'").status, 1);
    EXPECT_TRUE(head_of(window.path()) == untouched);

    // On the simulator: not one access reaches the board.
    write_cfg(cfg_devices);
    const korvic::sim_test::Result r =
        run_cmd("{sim} --virtual --trace-tsv trace.tsv -- sh -c '{korvic} time >&-'");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(
        korvic::sim_test::only(korvic::sim_test::read_tsv(dir / "trace.tsv"), "board").empty());
}

// ---------------------------------------------------------------------------------------
// Configurations that are not plain files.
// ---------------------------------------------------------------------------------------

struct ConfigCase {
    const char *name;
    const char *line;  // run under `timeout`, the way out of a hang
    int status;
    const char *says;  // the start of standard error; "" when the time is printed
};

void PrintTo(const ConfigCase &c, std::ostream *os) {
    *os << c.name;
}

class ConfigFiles : public AttachE2E, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigFiles, AreReadOrRefusedWithoutHanging) {
    const ConfigCase &c = GetParam();
    write_cfg(cfg_devices);
    ASSERT_EQ(mkfifo((dir / "cfg.fifo").c_str(), 0600), 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (dir / "cfg.sock").c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);

    const korvic::sim_test::Result r =
        run_cmd(std::string("timeout 20 {sim} --virtual --start 2026-03-28T12:34:56 -- ") + c.line);
    close(sock);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.says == '\0') {
        EXPECT_EQ(r.out.rfind("2026-03-28T12:34:56.", 0), 0u) << r.out << r.err;
    } else {
        EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << r.err;
    }
}

const ConfigCase kConfigCases[] = {
    {"FifoWithoutWriter", "{korvic} --config cfg.fifo time", 1,
     "korvic: read configuration: a pipe or FIFO that delivered nothing within 1 s"},
    {"FifoWhoseWriterDelivers",
     "sh -c 'cat korvic_cfg.dat >cfg.fifo & {korvic} --config "
     "cfg.fifo time'",
     0, ""},
    {"ProcessSubstitution", "bash -c '{korvic} --config <(cat korvic_cfg.dat) time'", 0, ""},
    {"StandardInput", "sh -c 'cat korvic_cfg.dat | {korvic} --config /dev/stdin time'", 0, ""},
    {"CharacterDevice", "{korvic} --config /dev/null time", 1,
     "korvic: read configuration: a character device, not a configuration file"},
    {"Socket", "{korvic} --config cfg.sock time", 1,
     "korvic: read configuration: a socket, not a configuration file"},
};

INSTANTIATE_TEST_SUITE_P(Korvic, ConfigFiles, ::testing::ValuesIn(kConfigCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
