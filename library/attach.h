// The pieces of attaching to a board: reading a configuration file, opening and mapping a
// device window, switching the interrupts on at the bridge. Each takes what it works on as
// arguments, touches none of the C API's globals and prints nothing, so that init_847 and
// any other way of attaching can share them; the caller reports failures in its own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "config.h"

namespace korvic::attach {

// The step of reading a configuration file that failed.
enum class ConfigFailure : std::uint8_t { None, Open, Read, TooLong };

struct ConfigFile {
    std::vector<config::Setting> settings;  // what the lines set, in file order
    ConfigFailure failure = ConfigFailure::None;
    int error = 0;  // errno of the failure: EISDIR for a directory, EFBIG for TooLong
};

// Reads the configuration file at path, cut into lines as a 128-byte line buffer cuts them,
// each through config::parse_line. Refused: a directory, and a file longer than
// config::kMaxFileBytes (which also ends the read of a device that never ends).
ConfigFile read_config(const char *path);

// The step of attaching a device window that failed.
enum class WindowStep : std::uint8_t { None, Open, Size, Map };

struct DeviceWindow {
    int fd = -1;              // the open descriptor; after a Size or Map failure it is still
                              // open and the caller's to keep or close
    void *address = nullptr;  // the shared mapping of the window when nothing failed
    WindowStep failed = WindowStep::None;
    int error = 0;                // errno of the failed step; ENXIO for a file too short
    std::int64_t file_size = -1;  // size of a regular file that was checked, else -1
};

// Opens path read-write and maps bytes of it, shared, from offset 0. A regular file shorter
// than the window is refused before the mapping (an access past its end raises SIGBUS).
DeviceWindow open_window(const char *path, std::size_t bytes);

// "ENABLE_INT" on a mapped bridge window: one load and one store of the interrupt control
// word, with the enable bits ORed in, the word as the processor sees it (no byte_swap).
void enable_bridge_interrupts(void *bridge_window);

}  // namespace korvic::attach
