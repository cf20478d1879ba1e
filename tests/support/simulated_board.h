// The simulated board model served through a trapped window, with a korvic::Board on it:
// for tests of the library (and of korvicd's core over it) against the board's behaviour
// without a launcher. The model runs on a virtual clock (moved by the test, and by a step
// per access) or on the host's clock. Every access it serves is recorded, in order.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "board.h"
#include "board_impl.h"
#include "clock.h"
#include "korvic/board.hpp"
#include "trap.h"

namespace korvic::test {

struct ModelAccess {
    char dir;  // 'R' or 'W'
    std::uint32_t offset;
    friend bool operator==(const ModelAccess &, const ModelAccess &) = default;
};

class ModelTarget final : public sim::MmioTarget {
  public:
    explicit ModelTarget(sim::Board &b) : board_(&b) {}
    std::uint32_t load32(std::uint32_t offset) override {
        log_.push_back({'R', offset});
        return board_->read(offset);
    }
    void store32(std::uint32_t offset, std::uint32_t value) override {
        log_.push_back({'W', offset});
        board_->write(offset, value);
    }
    const std::vector<ModelAccess> &log() const { return log_; }
    void clear_log() { log_.clear(); }

  private:
    sim::Board *board_;
    std::vector<ModelAccess> log_;
};

// A simulated board, served through a trapped window, and a Board on it. On a virtual clock
// that starts at 2001-09-09T01:46:40Z and moves `step_us` per access; with host_clock, on
// the host's clock (the board powered up at the host's time, unless options say otherwise).
// The moments of the run (for status faults) count from the clock's start.
struct Simulated {
    explicit Simulated(Settings settings, sim::BoardOptions options = {}, std::int64_t step_us = 0,
                       bool host_clock = false)
        : clock(host_clock ? std::unique_ptr<sim::Clock>(std::make_unique<sim::RealClock>())
                           : std::make_unique<sim::VirtualClock>(1'000'000'000'000'000, step_us)),
          run_clock(*clock, {}, clock->now_us()),
          model(run_clock, with_order(options, settings.byte_swap)),
          target(model),
          window(target, 512),
          board(detail::BoardInternals::over_window(window.base(), settings)) {}

    static sim::BoardOptions with_order(sim::BoardOptions o, bool swapped) {
        o.bus_order = swapped ? sim::BusOrder::Swapped : sim::BusOrder::Native;
        return o;
    }
    // The virtual clock (not with host_clock).
    sim::VirtualClock &virtual_clock() { return static_cast<sim::VirtualClock &>(*clock); }

    std::unique_ptr<sim::Clock> clock;
    sim::BoardClock run_clock;
    sim::Board model;
    ModelTarget target;
    sim::TrapWindow window;
    Board board;
};

}  // namespace korvic::test
