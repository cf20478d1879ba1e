#include "console_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace korvic::testing {

namespace fs = std::filesystem;

ConsoleDir::ConsoleDir() {
    std::string pattern = (fs::temp_directory_path() / "korvic-console-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    work_ = root_ / "work";
    bin_ = root_ / "bin";
    fs::create_directories(work_);
    fs::create_directories(bin_);
    set_clear_script(std::string("printf '%s' '") + kClear + "'\n");
}

void ConsoleDir::set_clear_script(const std::string &script) const {
    const fs::path clear = bin_ / "clear";
    // Written beside and renamed into place: a console may be running the old one.
    const fs::path next = bin_ / "clear.next";
    std::ofstream(next) << "#!/bin/sh\n" << script;
    fs::permissions(next, fs::perms::owner_all);
    fs::rename(next, clear);
}

void ConsoleDir::remove_clear() {
    fs::remove(bin_ / "clear");
    system_path_ = false;
}

ConsoleDir::~ConsoleDir() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void ConsoleDir::make_file_window() {
    window_ = std::make_unique<korvic::test::MemoryFile>(512);
    fs::create_symlink(window_->path(), window_path());
    std::ofstream(work_ / "korvic_cfg.dat") << "# a file in memory as the register window\n"
                                            << "MEM_PATH=" << window_path().string() << "\n"
                                            << "BYTE_SWAP=0\n";
}

void ConsoleDir::make_sim_config() {
    std::ofstream(work_ / "korvic_cfg.dat") << "MEM_PATH=/dev/korvic_sim/board\n"
                                            << "INT_PATH=/dev/korvic_sim/bridge\n"
                                            << "ENABLE_INT\n"
                                            << "BYTE_SWAP=0\n";
}

void ConsoleDir::set_word(std::uint32_t offset, std::uint32_t value) {
    std::fstream f(window_path(), std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(offset);
    f.write(reinterpret_cast<const char *>(&value), sizeof value);
}

std::uint32_t ConsoleDir::word(std::uint32_t offset) const {
    const std::vector<unsigned char> bytes = window_bytes();
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::vector<unsigned char> ConsoleDir::window_bytes() const {
    std::ifstream f(window_path(), std::ios::binary);
    std::vector<unsigned char> bytes(512);
    f.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::vector<std::string> ConsoleDir::environment() const {
    const char *path = std::getenv("PATH");
    std::string search = bin_.string();
    if (system_path_)
        search += ":" + std::string(path != nullptr ? path : "/usr/bin:/bin");
    return {"PATH=" + search, "TERM=dumb"};
}

std::unique_ptr<PtySession> ConsoleDir::start(const std::vector<std::string> &argv) const {
    return std::make_unique<PtySession>(argv, work_.string(), environment());
}

std::vector<std::string> ConsoleDir::console_argv() const {
    // In a cross build the console is run through the same emulator as the tests
    // ("|"-separated command and arguments).
    std::vector<std::string> argv;
    const std::string emulator = KORVIC_TEST_EMULATOR;
    for (std::size_t from = 0; from < emulator.size();) {
        const std::size_t bar = std::min(emulator.find('|', from), emulator.size());
        argv.push_back(emulator.substr(from, bar - from));
        from = bar + 1;
    }
    argv.push_back(KORVIC_TEST_BINARY);
    return argv;
}

std::unique_ptr<PtySession> ConsoleDir::start_console(bool hangup_ignored) const {
    std::vector<std::string> argv = console_argv();
    if (hangup_ignored) {
        // An ignored signal stays ignored across exec.
        argv.insert(argv.begin(), {"/bin/sh", "-c", "trap '' HUP; exec \"$@\"", "sh"});
    }
    return start(argv);
}

}  // namespace korvic::testing
