// The simulated boards as a program sees them: for each board its clock, board model,
// bridge model and the two MmioTargets that trapped windows serve from, and the trace. The
// boards' state lives in a run (shared_run.h): the launcher's, shared by every process of
// the run, or one of the process's own. The preload shim builds one Simulator per process;
// tests build their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "board.h"
#include "clock.h"
#include "interrupt_line.h"
#include "settings.h"
#include "shared_run.h"
#include "trace.h"
#include "trap.h"

namespace korvic::sim {

class Simulator;
struct SimulatedBoard;

// Serves one device's window from the model, under the run's lock, and traces every access.
class TracedTarget : public MmioTarget {
  public:
    TracedTarget(Simulator &sim, SimulatedBoard &unit, Device device)
        : sim_(&sim), unit_(&unit), device_(device) {}
    std::uint32_t load32(std::uint32_t offset) override;
    void store32(std::uint32_t offset, std::uint32_t value) override;

  private:
    Simulator *sim_;
    SimulatedBoard *unit_;
    Device device_;
};

// One board of a Simulator.
struct SimulatedBoard {
    SimulatedBoard(Simulator &sim, int number, const BoardSettings &settings, bool virtual_time,
                   const SharedRun &run, PowerUp power_up);
    SimulatedBoard(const SimulatedBoard &) = delete;
    SimulatedBoard &operator=(const SimulatedBoard &) = delete;

    int number;
    std::vector<ClockEvent> events;          // what `clock` reads its schedule from
    std::vector<StatusFault> status_faults;  // what `board` reads its forced bits from
    std::unique_ptr<VirtualClock> own_virtual_clock;
    VirtualClock *virtual_clock;  // nullptr: the board runs on the host's clock
    BoardClock clock;
    Board board;
    Bridge bridge;
    InterruptLine line;
    std::int64_t drift_ppb;  // the board clock's rate error, for the node's schedule
    TracedTarget board_target;
    TracedTarget bridge_target;
};

class Simulator {
  public:
    // The boards of `settings` in a run of this process's own, powered up now.
    // trace_fd / trace_tsv_fd: descriptors for the two trace forms, or -1.
    Simulator(const SimSettings &settings, int trace_fd, int trace_tsv_fd);
    // The boards of `settings` in `run`: powered up now when asked (by whoever creates the
    // run), else as the run holds them. The run must hold as many boards as the settings.
    Simulator(const SimSettings &settings, SharedRun run, PowerUp power_up, int trace_fd,
              int trace_tsv_fd);
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Board k, counted from 1.
    int boards() const { return static_cast<int>(units_.size()); }
    Board &board(int k = 1) { return unit(k).board; }
    Bridge &bridge(int k = 1) { return unit(k).bridge; }
    Clock &clock(int k = 1) { return unit(k).clock; }
    // Board k's virtual clock, or nullptr when it runs on the host's clock.
    VirtualClock *virtual_clock(int k = 1) { return unit(k).virtual_clock; }
    MmioTarget &board_target(int k = 1) { return unit(k).board_target; }
    MmioTarget &bridge_target(int k = 1) { return unit(k).bridge_target; }

    // Board k's interrupt line, whose count every process of the run shares, and the
    // run's wake word for the interrupt nodes' helpers.
    InterruptLine &interrupt(int k = 1) { return unit(k).line; }
    InterruptWake &interrupt_wake() { return run_.header().interrupts; }
    // Under the run's lock: lets board k's events happen up to now and evaluates its
    // interrupt line (for the node's helper); `counted` tells whether that counted an
    // interrupt. Returns how long on the host's clock, in microseconds, until the board's
    // next scheduled event: nothing when none is scheduled, or when the board runs on a
    // virtual clock (which moves only by accesses and by waits on the node).
    std::optional<std::int64_t> settle(int k, bool &counted);
    // For a wait on board k's node, on a virtual clock: under the run's lock, moves the
    // clock to the board's next scheduled event, lets it happen and evaluates the line.
    // False, changing nothing, when nothing is scheduled or the board runs on the host's
    // clock.
    bool skip_to_next_event(int k);
    // The node's write() for board k: 1 re-arms its interrupt inputs, 0 disables them;
    // under the run's lock.
    void control_interrupt(int k, bool on);

    // A trace line that cannot be written is marked in the run (every process of it sees
    // it) and passed to `report` on the first such line of each process: inside the MMIO
    // signal handler, so `report` must be async-signal-safe.
    using TraceFailureReport = void (*)(const TraceError &);
    void on_trace_failure(TraceFailureReport report) { report_ = report; }

  private:
    friend class TracedTarget;
    SimulatedBoard &unit(int k) { return *units_.at(static_cast<std::size_t>(k - 1)); }
    void record(const TraceRecord &r);

    SharedRun run_;
    Trace trace_;
    TraceFailureReport report_ = nullptr;
    std::atomic<std::int32_t> reported_pid_{0};
    std::vector<std::unique_ptr<SimulatedBoard>> units_;
};

}  // namespace korvic::sim
