// Fuzzes a whole korvic_cfg.dat read through init_847, in a scratch working directory whose
// devices are files in memory reached through symbolic links: "mem" (the 512-byte register
// window) and "bridge" (the 128-byte bridge window).
//
// The input is cut into lines exactly as init_847's reads cut it (at most 127 characters,
// up to and including a newline). Two kinds of line are dropped before the file is
// written, so that the fuzzer can neither end the process nor reach outside its directory:
//   - a "MEM_PATH=" or "INT_PATH=" line whose path holds a '/' (only names in the scratch
//     directory remain: "mem", "bridge", the configuration file itself, or a missing name);
//   - an "ENABLE_INT" line unless the bridge path in force at that line is "bridge" (any
//     other path would end the process with exit(-1), as it must).
// Every other line is kept as it came, and the settings that init_847 leaves are checked
// against the same lines read one by one with parse_line: the offsets, the byte-order flag,
// both paths, the result (0 exactly when the file fits in 64 KiB and the register path
// names a file in memory of the window's size) and the bridge word (0x49 ORed in exactly
// when an ENABLE_INT line was kept).
// init_847 keeps the bridge descriptor and mapping of every ENABLE_INT for the life of the
// process; the fuzzer closes and unmaps them after each input so that a long run does not
// run out of descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../support/memory_file.h"
#include "config.h"
#include "fuzz_check.h"
#include "korvic_api.h"
#include "regmap.h"

namespace {

using korvic::config::Key;
using korvic::config::Setting;

// What one read of init_847 takes: 127 characters, or fewer up to and including a newline.
constexpr std::size_t kReadChars = 127;

std::string g_dir;     // the scratch directory, absolute
std::string g_bridge;  // the bridge's file in memory, absolute (what /proc names)
std::unique_ptr<korvic::test::MemoryFile> g_mem_file, g_bridge_file;

using korvic::fuzz::check;

void write_file(const std::string &path, std::string_view bytes) {
    const int f = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    check(f != -1, "cannot create a scratch file");
    check(write(f, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()),
          "cannot write a scratch file");
    close(f);
}

std::uint32_t bridge_word() {
    const int f = open(g_bridge.c_str(), O_RDONLY);
    std::uint32_t w = 0;
    check(f != -1 && pread(f, &w, sizeof w, korvic::regs::kBridgeIntCsr) == sizeof w,
          "cannot read the bridge file");
    close(f);
    return w;
}
void set_bridge_word(std::uint32_t w) {
    const int f = open(g_bridge.c_str(), O_WRONLY);
    check(f != -1 && pwrite(f, &w, sizeof w, korvic::regs::kBridgeIntCsr) == sizeof w,
          "cannot write the bridge file");
    close(f);
}

void remove_scratch() {
    for (const char *name : {"korvic_cfg.dat", "mem", "bridge"})
        unlink((g_dir + "/" + name).c_str());
    rmdir(g_dir.c_str());
    g_mem_file.reset();
    g_bridge_file.reset();
}

// What init_847 maps, as the library describes it: a character device, or a file in memory
// of exactly the window's size ("mem"; or korvic_cfg.dat itself, when the scratch directory
// is in memory and the input made it 512 bytes long).
bool can_be_window(const std::string &path) {
    struct stat st {};
    struct statfs sf {};
    if (path.empty() || stat(path.c_str(), &st) != 0)
        return false;
    if (S_ISCHR(st.st_mode))
        return true;
    return S_ISREG(st.st_mode) && statfs(path.c_str(), &sf) == 0 &&
           (sf.f_type == TMPFS_MAGIC || sf.f_type == RAMFS_MAGIC) &&
           st.st_size == static_cast<off_t>(korvic::regs::kWindowBytes);
}

// The settings init_847 should leave, built from the lines it will read.
struct Model {
    std::string mem_path = ::mem_path;
    std::string int_path = ::int_path;
    std::int32_t day = g_day_offset;
    std::int32_t tz = g_tz_offset;
    std::int32_t seconds = 0;  // set to 0 at every init_847
    std::int32_t swap = g_byte_swap;
    int enables = 0;

    void apply(const Setting &s) {
        if (!s.converted)
            return;
        switch (s.key) {
            case Key::DayOff:
                day = s.number;
                break;
            case Key::SecOff:
                seconds = s.number;
                break;
            case Key::TzOff:
                tz = s.number;
                break;
            case Key::ByteSwap:
                swap = s.number;
                break;
            case Key::MemPath:
                mem_path = s.path;
                break;
            case Key::IntPath:
                int_path = s.path;
                break;
            case Key::EnableInt:
                ++enables;
                break;
            case Key::UioPath:  // the interrupt node: korvic::Board's, ignored by init_847
            case Key::None:
                break;
        }
    }
};

bool keep(const Setting &s, const Model &m) {
    switch (s.key) {
        case Key::MemPath:
        case Key::IntPath:
            return std::strchr(s.path, '/') == nullptr;
        case Key::EnableInt:
            return m.int_path == "bridge";
        default:
            return true;
    }
}

// Closes and unmaps what ENABLE_INT kept of the bridge file; the register window (at
// base_addr, which may also be the bridge file) stays.
void release_bridge() {
    std::vector<int> fds;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (const dirent *e = readdir(d)) {
            char target[4096];
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string_view(target, static_cast<std::size_t>(n)) == g_bridge)
                fds.push_back(std::atoi(e->d_name));
        }
        closedir(d);
    }
    for (const int f : fds)
        close(f);

    std::ifstream maps("/proc/self/maps");
    std::string line;
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> spans;
    while (std::getline(maps, line)) {
        if (line.size() < g_bridge.size() ||
            line.compare(line.size() - g_bridge.size(), g_bridge.size(), g_bridge) != 0)
            continue;
        char *end = nullptr;
        const std::uintptr_t from = std::strtoull(line.c_str(), &end, 16);
        const std::uintptr_t to = std::strtoull(end + 1, nullptr, 16);
        if (from != reinterpret_cast<std::uintptr_t>(base_addr))
            spans.emplace_back(from, to);
    }
    for (const auto &[from, to] : spans)
        munmap(reinterpret_cast<void *>(from), to - from);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/korvic-fuzz-XXXXXX";
    check(mkdtemp(tmpl.data()) != nullptr, "mkdtemp failed");
    g_dir = tmpl;
    g_mem_file = std::make_unique<korvic::test::MemoryFile>(korvic::regs::kWindowBytes);
    g_bridge_file = std::make_unique<korvic::test::MemoryFile>(korvic::regs::kBridgeBytes);
    g_bridge = g_bridge_file->path().string();
    check(symlink(g_mem_file->path().c_str(), (g_dir + "/mem").c_str()) == 0 &&
              symlink(g_bridge.c_str(), (g_dir + "/bridge").c_str()) == 0,
          "cannot link the window files into the scratch directory");
    check(chdir(g_dir.c_str()) == 0, "chdir to the scratch directory failed");
    std::atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    Model model;
    std::string file;
    for (std::size_t at = 0; at < input.size();) {
        std::size_t n = std::min(kReadChars, input.size() - at);
        const std::size_t newline = input.substr(at, n).find('\n');
        if (newline != std::string_view::npos)
            n = newline + 1;
        const std::string line(input.substr(at, n));  // parse_line stops at a NUL, as init_847 does
        at += n;
        const Setting s = korvic::config::parse_line(line.c_str());
        if (!keep(s, model))
            continue;
        model.apply(s);
        file += line;
    }
    write_file("korvic_cfg.dat", file);

    // Lines of at most 127 characters either end in a newline or are 127 long (or end
    // the file), so dropping some leaves the others cut the same way.
    std::uint32_t before = 0;
    for (std::size_t i = 0; i < size && i < 4; ++i)
        before = before << 8 | data[i];
    set_bridge_word(before);

    // A file longer than init_847 reads is refused whole: nothing in it takes effect.
    const bool refused = file.size() > korvic::config::kMaxFileBytes;
    if (refused)
        model = Model{};

    const int result = init_847();

    const bool device = !refused && can_be_window(model.mem_path);
    check(result == (device ? 0 : -1), "init_847 result does not match the register path");
    check(g_day_offset == model.day, "DAY_OFF differs");
    check(g_tz_offset == model.tz, "TZ_OFF differs");
    check(g_time_offset == model.seconds, "SEC_OFF differs");
    check(g_byte_swap == model.swap, "BYTE_SWAP differs");
    check(model.mem_path == ::mem_path, "MEM_PATH differs");
    check(model.int_path == ::int_path, "INT_PATH differs");
    if (result == 0)
        check(base_addr != nullptr && reinterpret_cast<volatile void *>(kv_mem) ==
                                          reinterpret_cast<volatile void *>(base_addr),
              "attached without a window");
    const std::uint32_t after = bridge_word();
    const std::uint32_t expected =
        model.enables > 0 ? (before | korvic::regs::kBridgeIntEnable) : before;
    check(after == expected, "bridge word is not the one ENABLE_INT should leave");

    close_847();
    if (model.enables > 0)
        release_bridge();
    return 0;
}
