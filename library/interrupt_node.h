// The board's interrupt node: the UIO node of the korvic_uio driver (/dev/uioN), or the
// simulator's (/dev/korvic_sim/uio). A waiter sleeps there instead of polling the board's
// registers: it writes 1 to re-arm the bridge's interrupt inputs, looks at its own source
// on the board, and blocks in poll() until the node counts an interrupt (kmod/korvic_uio.c
// and kmod/korvic_intcsr.h tell which inputs a write of 1 enables).
//
// The node is never a window (attach::judge refuses it) and its descriptor follows the
// window's rules: opened close-on-exec, never as descriptor 0, 1 or 2.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace korvic::irq {

// The longest a waiter sleeps on the node at a time: between two slices it looks at its
// source on the board, its stop request and its deadline again.
inline constexpr std::chrono::milliseconds kSlice{100};

enum class NodeStep : std::uint8_t { None, Open, Refused };

struct NodeOpen {
    int fd = -1;  // the open node when nothing failed
    NodeStep failed = NodeStep::None;
    int error = 0;      // errno of the failed step: ENODEV or EBADF when refused
    int standard = -1;  // refused as descriptor 0, 1 or 2: which one
};

// Opens `path` read-write, close-on-exec. A path that names anything but a character
// device (a file, a FIFO, a disk) is refused without being opened: a write of 1 would
// land in it. One that opens as descriptor 0, 1 or 2, or that attach::is_interrupt_node()
// does not recognise, is closed again and refused. (The simulator's node exists for
// open() alone: a path that cannot be looked at is opened.)
NodeOpen open_node(const char *path);
// Why the node was refused, after its path: "is not an interrupt node ...". Empty unless
// it was.
std::string node_problem(const NodeOpen &n);

// Where the board's node would be, found from the register device's path, and how.
struct Location {
    std::filesystem::path path;  // empty: no node is known for that device
    // Found in sysfs (the driver is bound to the device): a node that then fails to open
    // is worth a note. Otherwise only a guess by name, and a node that is not there is
    // simply not there.
    bool bound = false;
};

// A sysfs PCI resource file (after its symbolic links) whose device directory holds
// uio/uioN when korvic_uio is bound to it: /dev/uioN. A register device named `board` or
// `boardK` (K a number), as the simulator names them: `uio` or `uioK` beside it. Otherwise
// nothing. Looks at the file system only; opens nothing.
Location find_node(const std::filesystem::path &register_device);
// The node of the device directory `device_dir` of sysfs: its uio/uioN as /dev/uioN, or
// empty when it has none.
std::filesystem::path sysfs_node(const std::filesystem::path &device_dir);

enum class Wake : std::uint8_t { Interrupt, Slice, Signal, Failed };

// An open node. One thread at a time, like the Board it belongs to.
class Node {
  public:
    Node(int fd, std::filesystem::path path);
    ~Node();
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    const std::filesystem::path &path() const { return path_; }

    // write() of the 32-bit value 1: re-arms the inputs whose source is quiet. False, with
    // errno, when the node refuses it (ENODEV: the board is gone or the driver unbound).
    bool arm();
    // poll() on the node for up to `up_to` (rounded up to the millisecond), then, when it
    // counted an interrupt, read() of the count, so that the next wait waits for a new one.
    // Signal: a signal handler ran (EINTR). Failed: errno says why.
    Wake wait(std::chrono::nanoseconds up_to);

  private:
    // In a child made by fork(), the node is opened again: the open it inherited counts
    // for its parent too (a read in one would take the other's wake-up).
    bool own();

    int fd_;
    std::filesystem::path path_;
    unsigned generation_;
};

}  // namespace korvic::irq
