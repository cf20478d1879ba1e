// The inside of korvic::Board, for the library's sources and, through korvic_api_internal,
// for this project's tests and benchmarks. Not installed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "board_lock.h"
#include "interrupt_node.h"
#include "korvic/board.hpp"
#include "mmio.h"
#include "timecodec.h"

namespace korvic {

using SystemClock = system_time (*)();
using MonotonicClock = std::chrono::nanoseconds (*)();

// CLOCK_REALTIME, read with clock_gettime: every reading of the system clock that the
// library makes (sample(), best_of(), preset_now()) goes through a Board's clock, which is
// this one unless a test set another.
system_time realtime_now();
// CLOCK_MONOTONIC_RAW (CLOCK_MONOTONIC where the system has no raw clock), nanoseconds.
std::chrono::nanoseconds monotonic_now();

// The board lock of one Board, on the register device descriptor that it owns (closed with
// it). Not had within the wait: BoardBusy. In a child made by fork(), the device is opened
// again at the next locked call, so that the child's lock is its own and not its parent's.
class DeviceLock final : public lock::BoardLock {
  public:
    DeviceLock() = default;
    ~DeviceLock();
    // Takes `fd`, the open of `path`, as the descriptor to lock and to close; waits up to
    // `wait` for the lock.
    void adopt(int fd, const std::filesystem::path &path, std::chrono::nanoseconds wait);
    bool adopted() const { return fd_ >= 0; }

  private:
    int descriptor() override;
    int current_descriptor() const override { return fd_; }
    void busy(const lock::Attempt &a) override;

    int fd_ = -1;
    std::filesystem::path path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    unsigned generation_ = 0;  // lock::fork_generation() when fd_ was opened
};

struct Board::Impl {
    Settings settings;
    mmio::Window window{};
    codec::Offsets offsets{};  // hours TZ_OFF, days DAY_OFF, seconds SEC_OFF
    void *mapping = nullptr;   // what this Board mapped (nullptr: the caller's window)
    std::size_t mapped_bytes = 0;
    DeviceLock lock;  // on the register device this Board opened
    SystemClock clock = &realtime_now;
    // The board's interrupt node (UIO_PATH=, or found from MEM_PATH=), when there is one;
    // else the waits poll. A node found but not usable leaves `node_note`, said once on
    // standard error when a wait (or ENABLE_INT) first needs the node.
    std::unique_ptr<irq::Node> node;
    std::string node_note;

    // Opens UIO_PATH= (a throw of filesystem_error when it cannot be, or is no node), or
    // the node find_node() gives for mem_path (a failure leaves node_note). Before the
    // register device is opened; no bus access.
    void attach_node();
    // ENABLE_INT on the node: write(1) (a named node that refuses it throws
    // filesystem_error). False when there is no node: the bridge's read-modify-write then.
    bool enable_on_node();
    // The node to wait on, or nullptr to poll (node_note is said then, once).
    irq::Node *node_for_wait();
    // Gives the node up after `step` ("write", "poll") failed with `error`: said once; the
    // waits poll from then on.
    void drop_node(const char *step, int error);
    MonotonicClock monotonic = &monotonic_now;

    Impl() = default;
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;
    // Unmaps what this Board mapped (the lock closes the device). No bus access.
    ~Impl();
};

// The offsets of a Board with these settings.
codec::Offsets offsets_of(const Settings &s);
// A time register's digits as UTC, with the offsets: the one formula of every reading. A
// seconds digit of 60 (a leap second) reads as the last instant of its minute that the
// register holds (`micro`: it has microsecond digits). No bus access.
utc_time to_utc(korvic_broken_down fields, const codec::Offsets &o, bool micro = true);
// The board digits that t is written as, after the range checks of preset(); throws
// std::out_of_range "korvic: CALL: TIME is outside the board's range ..." first. No bus
// access.
korvic_broken_down board_digits(utc_time t, const codec::Offsets &o, const char *call);

namespace detail {

class BoardInternals {
  public:
    // A Board over a register window that the caller has mapped and keeps (a test's trapped
    // or memory window): the byte order and offsets of `settings`, whose paths are not
    // looked at. Nothing is opened, and nothing is unmapped when the Board goes.
    static Board over_window(void *window, const Settings &settings);
    // The same, with the board lock taken on `lock_fd` (an open of `path`; the Board
    // closes it), as a Board attached to that device takes it.
    static Board over_window(void *window, const Settings &settings, int lock_fd,
                             const std::filesystem::path &path);

    // The clock that sample(), best_of() and preset_now() read, in place of
    // CLOCK_REALTIME; and in place of the monotonic clock.
    static void set_clock(Board &board, SystemClock clock);
    static void set_monotonic_clock(Board &board, MonotonicClock clock);
};

}  // namespace detail
}  // namespace korvic
