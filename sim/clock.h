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
};

// Host UTC (CLOCK_REALTIME).
class RealClock : public Clock {
  public:
    std::int64_t now_us() override;
};

// The host's CLOCK_MONOTONIC, in microseconds: what the moments of a run are measured on.
std::int64_t monotonic_us();

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

// What the board's oscillator adds to its source after `elapsed_us` of the run: the rate
// error (`drift_ppb`, parts per billion, on the time it ran), every jump whose moment has
// come, less the time it stood still (which, standing, did not drift either).
std::int64_t clock_error_us(std::int64_t drift_ppb, std::span<const ClockEvent> events,
                            std::int64_t elapsed_us);

// The board's oscillator: the source clock plus a fixed offset and clock_error_us(). The
// moments of the run are measured on the host's monotonic clock from `origin_us`
// (Timeline::Host), or on the source clock itself from `origin_us` (Timeline::Source: a
// virtual clock's own time, so that a run on it is reproducible to the access).
class BoardClock : public Clock {
  public:
    enum class Timeline : std::uint8_t { Host, Source };
    struct Faults {
        std::int64_t offset_us = 0;
        std::int64_t drift_ppb = 0;
        std::span<const ClockEvent> events;  // sorted by moment; must outlive the clock
    };

    BoardClock(Clock &source, Faults faults, Timeline timeline, std::int64_t origin_us)
        : source_(&source), faults_(faults), timeline_(timeline), origin_(origin_us) {}

    std::int64_t now_us() override;
    void on_access() override { source_->on_access(); }
    // How far into the run the board is now, on its timeline.
    std::int64_t elapsed_us();

  private:
    std::int64_t elapsed_at(std::int64_t source_us) const;

    Clock *source_;
    Faults faults_;
    Timeline timeline_;
    std::int64_t origin_;
};

}  // namespace korvic::sim
