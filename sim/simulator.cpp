#include "simulator.h"

namespace korvic::sim {

std::unique_ptr<Clock> Simulator::make_clock(const SimSettings &s) {
    if (!s.virtual_clock)
        return std::make_unique<RealClock>();
    const std::int64_t start = s.start_us ? *s.start_us : RealClock().now_us();
    return std::make_unique<VirtualClock>(start, s.step_us);
}

BoardOptions Simulator::board_options(const SimSettings &s) {
    BoardOptions o;
    o.bus_order = s.bus_order;
    o.external_event_period_us = s.external_event_period_us;
    o.start_us = s.start_us;
    return o;
}

Simulator::Simulator(const SimSettings &settings, int trace_fd, int trace_tsv_fd)
    : clock_(make_clock(settings)),
      virtual_(settings.virtual_clock ? static_cast<VirtualClock *>(clock_.get()) : nullptr),
      board_(*clock_, board_options(settings)),
      trace_(trace_fd, trace_tsv_fd) {}

std::uint32_t TracedTarget::load32(std::uint32_t offset) {
    Note note;
    Note *n = sim_->trace_.enabled() ? &note : nullptr;
    const std::uint32_t v =
        device_ == Device::Board ? sim_->board_.read(offset, n) : sim_->bridge_.read(offset, n);
    if (n != nullptr) {
        const std::uint64_t seq = sim_->seq_.fetch_add(1, std::memory_order_relaxed) + 1;
        sim_->trace_.record({seq, device_, 'R', offset, v, note.view()});
    }
    return v;
}

void TracedTarget::store32(std::uint32_t offset, std::uint32_t value) {
    Note note;
    Note *n = sim_->trace_.enabled() ? &note : nullptr;
    if (device_ == Device::Board)
        sim_->board_.write(offset, value, n);
    else
        sim_->bridge_.write(offset, value, n);
    if (n != nullptr) {
        const std::uint64_t seq = sim_->seq_.fetch_add(1, std::memory_order_relaxed) + 1;
        sim_->trace_.record({seq, device_, 'W', offset, value, note.view()});
    }
}

}  // namespace korvic::sim
