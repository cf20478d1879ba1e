#include "simulator.h"

#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace korvic::sim {
namespace {

// The board's virtual clock, or nothing on the host's clock. The virtual clock starts at
// the board's start time, or at the host's time at power-up.
std::unique_ptr<VirtualClock> make_virtual(const BoardSettings &s, bool virtual_clock,
                                           BoardSlot &slot, PowerUp power_up) {
    if (!virtual_clock)
        return nullptr;
    if (power_up == PowerUp::Yes) {
        const std::int64_t start = s.start_us ? *s.start_us : RealClock().now_us();
        slot.virtual_now.store(start, std::memory_order_relaxed);
        slot.virtual_origin = start;
    }
    return std::make_unique<VirtualClock>(slot.virtual_now, s.step_us);
}

BoardOptions board_options(const BoardSettings &s, std::span<const StatusFault> faults) {
    BoardOptions o;
    o.bus_order = s.bus_order;
    o.external_event_period_us = s.external_event_period_us;
    o.start_us = s.start_us;
    o.leap = s.leap;
    o.status_faults = faults;
    return o;
}

}  // namespace

SimulatedBoard::SimulatedBoard(Simulator &sim, int number, const BoardSettings &settings,
                               bool virtual_time, const SharedRun &run, PowerUp power_up)
    : number(number),
      events(settings.events),
      status_faults(settings.status_faults),
      own_virtual_clock(make_virtual(settings, virtual_time, run.slot(number), power_up)),
      virtual_clock(own_virtual_clock.get()),
      clock(virtual_time ? BoardClock(*own_virtual_clock, {0, settings.drift_ppb, events},
                                      run.slot(number).virtual_origin)
                         : BoardClock({settings.offset_us.value_or(0), settings.drift_ppb, events},
                                      run.header().origin)),
      board(clock, board_options(settings, status_faults), run.slot(number).board, power_up),
      bridge(run.slot(number).bridge),
      board_target(sim, *this, Device::Board),
      bridge_target(sim, *this, Device::Bridge) {}

Simulator::Simulator(const SimSettings &settings, int trace_fd, int trace_tsv_fd)
    : Simulator(settings, SharedRun::local(static_cast<int>(settings.boards.size())), PowerUp::Yes,
                trace_fd, trace_tsv_fd) {}

Simulator::Simulator(const SimSettings &settings, SharedRun run, PowerUp power_up, int trace_fd,
                     int trace_tsv_fd)
    : run_(std::move(run)), trace_(trace_fd, trace_tsv_fd) {
    if (run_.boards() != static_cast<int>(settings.boards.size()))
        throw std::runtime_error("the run has " + std::to_string(run_.boards()) +
                                 " boards, the settings name " +
                                 std::to_string(settings.boards.size()));
    for (int k = 1; k <= run_.boards(); ++k)
        units_.push_back(std::make_unique<SimulatedBoard>(*this, k, settings.board(k),
                                                          settings.virtual_clock, run_, power_up));
}

void Simulator::record(const TraceRecord &r) {
    const std::optional<TraceError> failed = trace_.record(r);
    if (!failed)
        return;
    run_.header().trace_failed.store(1, std::memory_order_relaxed);
    const auto pid = static_cast<std::int32_t>(::getpid());
    if (report_ != nullptr && reported_pid_.exchange(pid, std::memory_order_relaxed) != pid)
        report_(*failed);
}

std::uint32_t TracedTarget::load32(std::uint32_t offset) {
    Note note;
    Note *n = sim_->trace_.enabled() ? &note : nullptr;
    RunHeader &h = sim_->run_.header();
    const RunLock lock(h);
    const std::uint32_t v =
        device_ == Device::Board ? unit_->board.read(offset, n) : unit_->bridge.read(offset, n);
    const std::uint64_t seq = h.sequence.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n != nullptr)
        sim_->record({seq, device_, 'R', offset, v, note.view(), 0, unit_->number});
    return v;
}

void TracedTarget::store32(std::uint32_t offset, std::uint32_t value) {
    Note note;
    Note *n = sim_->trace_.enabled() ? &note : nullptr;
    RunHeader &h = sim_->run_.header();
    const RunLock lock(h);
    if (device_ == Device::Board)
        unit_->board.write(offset, value, n);
    else
        unit_->bridge.write(offset, value, n);
    const std::uint64_t seq = h.sequence.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n != nullptr)
        sim_->record({seq, device_, 'W', offset, value, note.view(), 0, unit_->number});
}

}  // namespace korvic::sim
