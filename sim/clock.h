// Time sources for the simulated board: the host's UTC clock, or a virtual clock that a
// test or the launcher drives (a fixed step per register access, or explicit advances),
// and the board's own oscillator over either of them (an offset, a rate error, and
// stand-stills and jumps at chosen moments).
#pragma once

#include <atomic>
#include <cstdint>
#include <span>

#include "calendar.h"

namespace korvic::sim {

class Clock {
  public:
    virtual ~Clock() = default;
    // Microseconds since 1970-01-01 00:00:00 UTC.
    virtual std::int64_t now_us() = 0;
    // Called by the board once at the start of every register access.
    virtual void on_access() {}
    // The reading at the start of the run, before any stand-still or jump of the run: what
    // a board powered up then counts its time from, so that a jump at moment 0 is a jump.
    virtual std::int64_t origin_us() { return now_us(); }
    // The moment of the run, in microseconds since its start, that the faults of the run
    // are placed at. A clock of no run stays at its start.
    virtual std::int64_t moment_us() { return 0; }
};

// Host UTC (CLOCK_REALTIME).
class RealClock : public Clock {
  public:
    std::int64_t now_us() override;
};

// The host's CLOCK_REALTIME and CLOCK_MONOTONIC, in nanoseconds.
std::int64_t realtime_ns();
std::int64_t monotonic_ns();

// Starts at `start_us` and moves only by `step_us` per access and by advance()/set(). It
// stops at the ends of the 64-bit count rather than wrap around. Its reading is its own, or
// one that lives elsewhere (shared memory), so that every process that drives one board
// moves one clock.
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(std::int64_t start_us, std::int64_t step_us = 0)
        : own_(start_us), now_(&own_), step_(step_us) {}
    VirtualClock(std::atomic<std::int64_t> &shared, std::int64_t step_us)
        : now_(&shared), step_(step_us) {}
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    std::int64_t now_us() override { return now_->load(std::memory_order_relaxed); }
    void on_access() override { advance(step_); }
    void advance(std::int64_t us) {
        std::int64_t old = now_->load(std::memory_order_relaxed);
        while (
            !now_->compare_exchange_weak(old, saturating_add(old, us), std::memory_order_relaxed)) {
        }
    }
    void set(std::int64_t us) { now_->store(us, std::memory_order_relaxed); }
    std::int64_t step() const { return step_; }

  private:
    std::atomic<std::int64_t> own_{0};
    std::atomic<std::int64_t> *now_;
    std::int64_t step_;
};

// A moment of a run at which the board's clock misbehaves: from `at_us`, it stands still
// for `value_us` (kForever: to the end of the run), or it steps by `value_us` (signed).
struct ClockEvent {
    enum class Kind : std::uint8_t { Stop, Jump };
    Kind kind = Kind::Stop;
    std::int64_t at_us = 0;
    std::int64_t value_us = 0;

    friend bool operator==(const ClockEvent &, const ClockEvent &) = default;
};
inline constexpr std::int64_t kForever = INT64_MAX;

// What the board's oscillator adds to its source after `elapsed` of the run: the rate
// error (`drift_ppb`, parts per billion, on the time it ran), every jump whose moment has
// come, less the time it stood still (which, standing, did not drift either). `elapsed`
// and the result count `per_us` units to the microsecond (1: microseconds, 1000:
// nanoseconds); the events are in microseconds.
std::int64_t clock_error(std::int64_t drift_ppb, std::span<const ClockEvent> events,
                         std::int64_t elapsed, std::int64_t per_us = 1);

// The instant a run starts on the host: its UTC time and its monotonic time, read together.
struct HostOrigin {
    std::int64_t realtime_ns = 0;
    std::int64_t monotonic_ns = 0;

    static HostOrigin now();
};

// The board's oscillator, with a fixed offset and clock_error() on top of its source:
//  - on the host: the source is the host's UTC time at the run's origin carried on by the
//    host's monotonic clock (the same rate as the host's UTC clock, whose steps it does not
//    follow, as a board's own oscillator would not), and the moments of the run are that
//    monotonic time since the origin. Both come from one reading: a stand-still stands
//    still to the nanosecond, in every process of the run alike.
//  - on a virtual clock: the source is that clock, and the moments of the run are its own
//    time since `origin_us` (its reading at power-up), so a run is reproducible to the
//    access.
class BoardClock : public Clock {
  public:
    struct Faults {
        std::int64_t offset_us = 0;
        std::int64_t drift_ppb = 0;
        std::span<const ClockEvent> events;  // sorted by moment; must outlive the clock
    };

    BoardClock(Faults faults, HostOrigin origin) : faults_(faults), host_(origin) {}
    BoardClock(Clock &source, Faults faults, std::int64_t origin_us)
        : source_(&source), faults_(faults), origin_us_(origin_us) {}

    std::int64_t now_us() override;
    void on_access() override {
        if (source_ != nullptr)
            source_->on_access();
    }
    std::int64_t origin_us() override;
    // The same moment that the stand-stills and jumps count from: the source's time since
    // `origin_us`, or the host's monotonic time since the origin.
    std::int64_t moment_us() override;

  private:
    Clock *source_ = nullptr;  // nullptr: the host
    Faults faults_;
    HostOrigin host_;
    std::int64_t origin_us_ = 0;
};

}  // namespace korvic::sim
