// A temporary working directory for one console run, and the console's fixed texts.
//
// "clear" is made harmless and visible: a script of that name, first in PATH, prints the
// marker kClear instead of terminal codes, so a test can count the menu's redraws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "memory_file.h"
#include "pty_session.h"

namespace korvic::testing {

inline constexpr const char *kClear = "[clear]";
inline constexpr const char *kBanner = "...Beginning test....\n";
inline constexpr const char *kMenu =
    "\n\n"
    "    Select from the following functions:\n\n"
    "    1   Read diagnostic register           8 Read Config register\n\n"
    "    2   Start timer                        9 Set Config register bits\n\n"
    "    3   Set hardware control Register     10 Read Time and Status\n\n"
    "    4   stop timer                        11 Test Time Compare Event\n\n"
    "    5   Clear Config register             12 Reserved\n\n"
    "    6   reset time                        13 Read Time GPS\n\n"
    "    7   preset a time                     14 Reserved\n\n"
    "    20  exit \n\n    > ";
inline constexpr const char *kPause = "press <return> for new menu\n";
inline constexpr const char *kRefused = "not a number: nothing written\n";

class ConsoleDir {
  public:
    ConsoleDir();
    ~ConsoleDir();
    ConsoleDir(const ConsoleDir &) = delete;
    ConsoleDir &operator=(const ConsoleDir &) = delete;

    const std::filesystem::path &work() const { return work_; }
    const std::filesystem::path &root() const { return root_; }

    // A file in memory as the register window (window_path() links to it): 512 zero bytes
    // and a korvic_cfg.dat that maps it with no byte reversal, so each register holds what
    // was last written.
    void make_file_window();
    std::filesystem::path window_path() const { return work_ / "window.bin"; }
    // Register words of the file window, in host order.
    void set_word(std::uint32_t offset, std::uint32_t value);
    std::uint32_t word(std::uint32_t offset) const;
    std::vector<unsigned char> window_bytes() const;

    // A korvic_cfg.dat for the simulated board's devices (korvic_sim's default paths).
    void make_sim_config();

    // Replaces the fake "clear" with a shell script of this text.
    void set_clear_script(const std::string &script) const;
    // No "clear" anywhere in the console's PATH.
    void remove_clear();

    // The environment for the console: the fake "clear" first in PATH.
    std::vector<std::string> environment() const;

    // Starts argv (argv[0] a path) in work() on a terminal.
    std::unique_ptr<PtySession> start(const std::vector<std::string> &argv) const;
    // The command line that starts the console (through the emulator of a cross build).
    std::vector<std::string> console_argv() const;
    // Starts the console itself; with hangup_ignored, as nohup would, with SIGHUP ignored.
    std::unique_ptr<PtySession> start_console(bool hangup_ignored = false) const;

  private:
    std::filesystem::path root_;
    std::filesystem::path work_;
    std::filesystem::path bin_;
    bool system_path_ = true;
    std::unique_ptr<korvic::test::MemoryFile> window_;
};

}  // namespace korvic::testing
