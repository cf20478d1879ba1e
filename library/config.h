// korvic_cfg.dat, one line at a time. parse_line is a pure function of the line so that it
// can be tested and fuzzed on its own; attach::read_config reads a file through it and
// init_847 applies each result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvic::config {

inline constexpr const char *kFileName = "korvic_cfg.dat";
// A read takes at most this many characters, newline included, plus the terminator.
inline constexpr int kLineBuffer = 128;
inline constexpr int kPathBuffer = 256;
// The most a configuration file may hold; a longer one (or a device that never ends) is
// refused instead of read for ever.
inline constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024;

enum class Key : std::uint8_t {
    None,
    DayOff,
    MemPath,
    IntPath,
    SecOff,
    TzOff,
    EnableInt,
    ByteSwap,
    UioPath
};

struct Setting {
    Key key = Key::None;
    // The key's format found a value. Always false for Key::None; true for EnableInt,
    // which takes no value.
    bool converted = false;
    std::int32_t number = 0;      // DayOff, SecOff, TzOff, ByteSwap
    char path[kPathBuffer] = {};  // MemPath, IntPath, UioPath
};

// What one line of the file sets. Comment lines ("#" first), empty lines, lines that do
// not begin with a key spelled exactly, and lines whose value does not convert give a
// Setting that sets nothing.
Setting parse_line(const char *line);

}  // namespace korvic::config
