// The board lock: one advisory lock on the register device, taken around every register
// sequence whose accesses belong together (a snapshot strobe and its loads, a preset and
// its load bit, the compare words, a bit field's read-modify-write), so that the
// sequences of all the processes on the host that use one board never interleave. It is
// not a bus access: the board sees exactly the accesses it saw without it.
//
// The primitive is flock() on the register device's descriptor where the system has it
// (Linux, the BSDs): it works on device nodes and on sysfs resource files alike, belongs
// to the open file description (two opens of the device exclude each other, even in one
// process; a child after fork() shares its parent's), and goes with the last descriptor of
// that open, so a holder that dies releases it. Elsewhere it is a POSIX record lock
// (fcntl F_SETLK, a write lock on the whole file), which belongs to the process instead:
// see docs/HARDWARE.md for what that changes.
#pragma once

#include <chrono>
#include <cstdint>

namespace korvic::lock {

// How long a sequence waits for the lock before it gives up (korvic::Board throws
// BoardBusy) or goes on without it (the C API, once said on standard error).
inline constexpr std::chrono::milliseconds kDefaultWait{100};

enum class Primitive : std::uint8_t {
    Flock,       // flock(LOCK_EX): of the open file description
    RecordLock,  // fcntl(F_SETLK, F_WRLCK) on the whole file: of the process
};

// flock where the system has it, else RecordLock.
Primitive native_primitive() noexcept;

enum class Outcome : std::uint8_t {
    Held,    // taken
    Busy,    // another holder kept it for the whole wait
    Failed,  // the system refused the lock itself (errno in Attempt::error)
};

struct Attempt {
    Outcome outcome = Outcome::Held;
    int error = 0;
};

// Takes the lock on `fd`, waiting up to `wait`: a try at once, then tries after short
// sleeps (10 us, doubling to 100 us), never a spin, so that a holder on the same processor
// runs even when the waiter has a real-time priority. A try interrupted by a signal is
// tried again. While it waits, the open is marked as waiting (Flock, on Linux: a shared
// OFD record lock on the device's first byte, apart from the flock; see give_way()).
Attempt acquire(int fd, Primitive p, std::chrono::nanoseconds wait);
// Releases what acquire() took.
void release(int fd, Primitive p);

// When another open of the device waits in acquire(), sleeps (50 us at a time) until none
// does, at most `longest`; true when it did. Linux; elsewhere false at once.
bool give_way(int fd, std::chrono::nanoseconds longest);

// The lock of one attached board, as its register sequences take it: holds nest, the
// outermost takes the lock and releases it. One thread at a time, like the board's own
// calls. What happens when the lock is not had is the owner's: see busy().
class BoardLock {
  public:
    BoardLock() noexcept = default;
    BoardLock(const BoardLock &) = delete;
    BoardLock &operator=(const BoardLock &) = delete;

    // The outermost enter() takes the lock (with Flock, every 500 us or more it first
    // gives way to waiting opens, at most 2 ms); when it is not had, busy() decides (a
    // throw leaves the lock as it was, not entered).
    void enter();
    void leave();

    bool held() const { return held_; }
    std::chrono::nanoseconds wait() const { return wait_; }
    void set_wait(std::chrono::nanoseconds wait) { wait_ = wait; }

  protected:
    ~BoardLock() = default;

    // The descriptor to lock; -1 takes nothing (the sequence runs unlocked). May open it.
    virtual int descriptor() = 0;
    // The descriptor as it is now, opening nothing and throwing nothing (for leave()).
    virtual int current_descriptor() const = 0;
    // After `wait` without the lock, or when the system refuses it: throw to refuse the
    // sequence, return to run it unlocked.
    virtual void busy(const Attempt &attempt) = 0;

  private:
    // How often the outermost enter() looks for waiting processes, and how long it lets
    // them in at most (a waiter stopped while it waits holds nobody up for long).
    static constexpr std::chrono::microseconds kLookEvery{500};
    static constexpr std::chrono::milliseconds kLongestWayGiven{2};

    std::chrono::nanoseconds wait_{kDefaultWait};
    std::chrono::nanoseconds last_look_{0};  // CLOCK_MONOTONIC
    Primitive primitive_ = native_primitive();
    int depth_ = 0;
    int locked_fd_ = -1;  // the descriptor taken by the outermost enter(), or -1
    bool held_ = false;
};

// A count that grows in every child that fork() makes (pthread_atfork), so that the owner
// of a descriptor can tell that it now shares its open with another process. Counting
// starts at the first call.
unsigned fork_generation();

}  // namespace korvic::lock
