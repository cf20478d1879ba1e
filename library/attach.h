// The pieces of attaching to a board: reading a configuration file, opening and mapping a
// device window, switching the interrupts on at the bridge. Each takes what it works on as
// arguments, touches none of the C API's globals and prints nothing, so that init_847 and
// any other way of attaching can share them; the caller reports failures in its own words.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"

namespace korvic::attach {

// How long a pipe or FIFO named as the configuration file may take to deliver all of it:
// a FIFO that no program writes would otherwise hold the caller in open() for ever.
inline constexpr std::chrono::milliseconds kConfigWait{1000};

// The step of reading a configuration file that failed.
enum class ConfigFailure : std::uint8_t { None, Open, Read, TooLong, NotAFile, Timeout };

struct ConfigFile {
    std::vector<config::Setting> settings;  // what the lines set, in file order
    ConfigFailure failure = ConfigFailure::None;
    // errno of the failure: EISDIR for a directory, EFBIG for TooLong, EINVAL for NotAFile,
    // ETIMEDOUT for Timeout
    int error = 0;
    mode_t mode = 0;           // NotAFile: the file type found
    std::size_t received = 0;  // Timeout: the bytes that had come by then
};

// Reads the configuration file at path, cut into lines as a 128-byte line buffer cuts them,
// each through config::parse_line. A regular file is read as it is; a pipe or FIFO is read
// without blocking, and refused when its writer has not delivered all of it within
// kConfigWait. Refused: a directory, a device or socket (never opened), and a file longer
// than config::kMaxFileBytes.
ConfigFile read_config(const char *path);

// Why a NotAFile or Timeout failure happened, in words that follow the file's name and
// "is": "a character device, not a configuration file". Empty for the other failures,
// whose errno says it.
std::string config_problem(const ConfigFile &file);

// The step of attaching a device window that failed.
enum class WindowStep : std::uint8_t { None, Refused, Open, Map };

// Why a path cannot serve as a board's window; each is decided before anything is mapped.
enum class Refusal : std::uint8_t {
    None,
    StandardStream,  // it would become descriptor 0, 1 or 2, one of which is closed
    BlockDevice,     // a disk: the window's stores would land in its blocks
    Fifo,
    Socket,
    OtherType,      // anything else that is neither a character device nor a regular file
    DiskFile,       // a regular file on a disk file system (elsewhere than Linux: any one)
    MemorySize,     // a file in memory (tmpfs, ramfs, hugetlbfs, memfd) not of the window's size
    SysfsFile,      // a sysfs file other than a PCI resource file resource0 .. resource5
    ShortResource,  // a PCI resource file smaller than the window
    InterruptNode,  // the board's interrupt node (a UIO node, or the simulator's): UIO_PATH=
};

// Where a regular file lives, as far as the window is concerned.
enum class FileSystem : std::uint8_t { Disk, Memory, Sysfs };

// What is known of an open file when it is judged.
struct FileFacts {
    mode_t mode = 0;
    FileSystem fs = FileSystem::Disk;
    std::int64_t size = 0;
    std::string_view name;        // the file's own name (a sysfs file: after its symbolic links)
    bool interrupt_node = false;  // is_interrupt_node() said so
};

// Whether a file of these facts can be a board's window of `bytes` bytes: Refusal::None
// for a character device, a sysfs resource0 .. resource5 file that covers the window, or a
// file in memory of exactly `bytes` bytes; never an interrupt node. Pure; the table tests'
// subject.
Refusal judge(const FileFacts &file, std::size_t bytes);

// Whether the open file `fd` (whose fstat is `st`) is an interrupt node: on Linux a
// character device of the uio class (sysfs), or an eventfd (what the simulator's node is).
// Elsewhere never. Reads sysfs or /proc; no access to the file itself.
bool is_interrupt_node(int fd, const struct stat &st);

// Where a BAR that starts at bus address `start` lies in a shared mapping of its sysfs
// resource file: that mapping begins at the page that holds the BAR. Pure.
inline std::size_t page_offset(std::uint64_t start, std::size_t page_size) {
    return static_cast<std::size_t>(start % page_size);
}
// The start address of region `bar` in the text of a PCI device's `resource` file (one
// line per region, "0x<start> 0x<end> 0x<flags>"). Nothing when that line is missing or is
// not of that form. Pure.
std::optional<std::uint64_t> resource_start(std::string_view text, int bar);
// For the sysfs resource file `resource_path` (resourceN, after its symbolic links), where
// its region lies in a mapping of it: page_offset() of the start that the device's
// `resource` file (beside it) gives for region N, with the system's page size. 0 when
// that file cannot be read or has no such line (a mapping at offset 0, as before).
std::size_t resource_page_offset(const std::string &resource_path);

struct DeviceWindow {
    int fd = -1;              // the open descriptor; after a Map failure it is still open and
                              // the caller's to keep or close; -1 after any other failure
    void *address = nullptr;  // the window when nothing failed: `page_offset` bytes into the
                              // mapping (0 but for a sysfs resource file of a BAR that does
                              // not start a page)
    void *mapping = nullptr;  // what mmap returned, and its length, for munmap
    std::size_t mapped_bytes = 0;
    std::size_t page_offset = 0;
    WindowStep failed = WindowStep::None;
    Refusal refusal = Refusal::None;  // Refused: why
    int error = 0;      // errno of the failed step; EBADF for StandardStream, ENODEV for the other
                        // refusals
    int standard = -1;  // StandardStream: the descriptor that is closed
    std::int64_t file_size = -1;  // size of a regular file that was checked, else -1
};

// Opens path read-write (close-on-exec when asked) and maps bytes of it, shared, from
// offset 0 (a sysfs resource file: its page offset and bytes more, see
// resource_page_offset), once judge() accepts what was opened. A path that names a block device,
// FIFO or socket is refused without being opened; one that would take descriptor 0, 1 or 2 is
// closed again and refused (a program's output would otherwise go into the board).
DeviceWindow open_window(const char *path, std::size_t bytes, bool close_on_exec);

// Why the window was refused, in words that follow the path: "is a block device, not a
// board's window". Empty unless w.failed is Refused.
std::string window_problem(const DeviceWindow &w, std::size_t bytes);

// "ENABLE_INT" on a mapped bridge window: one load and one store of the interrupt control
// word, with the enable bits ORed in, the word as the processor sees it (no byte_swap).
void enable_bridge_interrupts(void *bridge_window);

}  // namespace korvic::attach
