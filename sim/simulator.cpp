#include "simulator.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
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
      line(board, bridge, run.slot(number).interrupts, run.header().interrupts),
      drift_ppb(settings.drift_ppb),
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
    std::uint32_t v = 0;
    if (device_ == Device::Board) {
        v = unit_->board.read(offset, n);
        unit_->line.evaluate();  // the access may have raised an input, or lowered one
    } else if (offset % kBridgeWindowBytes == kBridgeIntCsrOffset) {
        v = unit_->line.intcsr();
    } else {
        v = unit_->bridge.read(offset, n);
    }
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
    if (device_ == Device::Board) {
        unit_->board.write(offset, value, n);
        unit_->line.evaluate();
        // A store may change the board's schedule (a compare, a preset, the timer): the
        // nodes' helpers look again.
        wake_helpers(h.interrupts);
    } else {
        unit_->bridge.write(offset, value, n);
        if (offset % kBridgeWindowBytes == kBridgeIntCsrOffset) {
            unit_->bridge.hold(offset, intcsr_as_held(value));
            unit_->line.evaluate();
        }
    }
    const std::uint64_t seq = h.sequence.fetch_add(1, std::memory_order_relaxed) + 1;
    if (n != nullptr)
        sim_->record({seq, device_, 'W', offset, value, note.view(), 0, unit_->number});
}

namespace {

// Host microseconds for `board_us` of board time on a clock `drift_ppb` fast.
std::int64_t host_us(std::int64_t board_us, std::int64_t drift_ppb) {
    const double us =
        std::ceil(static_cast<double>(board_us) * 1e9 / (1e9 + static_cast<double>(drift_ppb)));
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::min(us, 9.0e18)));
}

}  // namespace

std::optional<std::int64_t> Simulator::settle(int k, bool &counted) {
    SimulatedBoard &u = unit(k);
    const RunLock lock(run_.header());
    u.board.settle();
    counted = u.line.evaluate();
    if (u.virtual_clock != nullptr)
        return std::nullopt;
    const std::optional<std::int64_t> next = u.board.next_event_us();
    if (!next)
        return std::nullopt;
    return host_us(*next - u.board.time_us(), u.drift_ppb);
}

void Simulator::control_interrupt(int k, bool on) {
    InterruptLine &line = unit(k).line;
    const RunLock lock(run_.header());
    if (on)
        line.rearm();
    else
        line.quiet();
}

bool Simulator::skip_to_next_event(int k) {
    SimulatedBoard &u = unit(k);
    if (u.virtual_clock == nullptr)
        return false;
    const RunLock lock(run_.header());
    u.board.settle();
    const std::optional<std::int64_t> next = u.board.next_event_us();
    if (!next)
        return false;
    // The board's time follows its virtual clock through the rate error and stand-stills:
    // a few steps reach the instant; a clock that stands still for good does not move it.
    for (int i = 0; i < 64; ++i) {
        const std::int64_t now = u.board.time_us();
        if (now >= *next)
            break;
        u.virtual_clock->advance(host_us(*next - now, u.drift_ppb));
        if (u.board.time_us() == now)
            break;
    }
    u.board.settle();
    u.line.evaluate();
    return true;
}

}  // namespace korvic::sim
