// Time sources for the simulated board: the host's UTC clock, or a virtual clock that a
// test or the launcher drives (a fixed step per register access, or explicit advances).
#pragma once

#include <atomic>
#include <cstdint>

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

// Starts at `start_us` and moves only by `step_us` per access and by advance()/set(). It
// stops at the ends of the 64-bit count rather than wrap around.
class VirtualClock : public Clock {
  public:
    explicit VirtualClock(std::int64_t start_us, std::int64_t step_us = 0)
        : now_(start_us), step_(step_us) {}
    std::int64_t now_us() override { return now_.load(std::memory_order_relaxed); }
    void on_access() override { advance(step_); }
    void advance(std::int64_t us) {
        std::int64_t old = now_.load(std::memory_order_relaxed);
        while (
            !now_.compare_exchange_weak(old, saturating_add(old, us), std::memory_order_relaxed)) {
        }
    }
    void set(std::int64_t us) { now_.store(us, std::memory_order_relaxed); }
    std::int64_t step() const { return step_; }

  private:
    std::atomic<std::int64_t> now_;
    std::int64_t step_;
};

}  // namespace korvic::sim
