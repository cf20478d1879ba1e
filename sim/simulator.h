// A simulated board as a program sees it: clock, board model, bridge model and trace, with
// the two MmioTargets that trapped windows serve from. The preload shim builds one per
// process; tests build their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "board.h"
#include "clock.h"
#include "settings.h"
#include "trace.h"
#include "trap.h"

namespace korvic::sim {

class Simulator;

// Serves one device's window from the model and traces every access.
class TracedTarget : public MmioTarget {
  public:
    TracedTarget(Simulator &sim, Device device) : sim_(&sim), device_(device) {}
    std::uint32_t load32(std::uint32_t offset) override;
    void store32(std::uint32_t offset, std::uint32_t value) override;

  private:
    Simulator *sim_;
    Device device_;
};

class Simulator {
  public:
    // trace_fd / trace_tsv_fd: descriptors for the two trace forms, or -1.
    Simulator(const SimSettings &settings, int trace_fd, int trace_tsv_fd);
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    Board &board() { return board_; }
    Bridge &bridge() { return bridge_; }
    Clock &clock() { return *clock_; }
    // The virtual clock, or nullptr when the board runs on the host's clock.
    VirtualClock *virtual_clock() { return virtual_; }
    MmioTarget &board_target() { return board_target_; }
    MmioTarget &bridge_target() { return bridge_target_; }

  private:
    friend class TracedTarget;
    static std::unique_ptr<Clock> make_clock(const SimSettings &s);
    static BoardOptions board_options(const SimSettings &s);

    std::unique_ptr<Clock> clock_;
    VirtualClock *virtual_ = nullptr;
    Board board_;
    Bridge bridge_;
    Trace trace_;
    std::atomic<std::uint64_t> seq_{0};
    TracedTarget board_target_{*this, Device::Board};
    TracedTarget bridge_target_{*this, Device::Bridge};
};

}  // namespace korvic::sim
