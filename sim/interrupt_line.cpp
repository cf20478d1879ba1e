#include "interrupt_line.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

#include "board_map.h"
#include "korvic_intcsr.h"

namespace korvic::sim {

static_assert(KORVIC_INTCSR_OFFSET == kBridgeIntCsrOffset, "one INTCSR for the model and driver");

void wake_helpers(InterruptWake &w) {
    w.changes.fetch_add(1, std::memory_order_release);
    if (w.helpers.load(std::memory_order_acquire) != 0)
        syscall(SYS_futex, &w.changes, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

std::uint32_t board_inputs(const Board &board) {
    return (board.compare_flag() ? KORVIC_INTCSR_LINT1_STATUS : 0u) |
           (board.external_pending() ? KORVIC_INTCSR_LINT2_STATUS : 0u);
}

std::uint32_t intcsr_as_loaded(std::uint32_t held, std::uint32_t inputs) {
    return held | inputs;
}

std::uint32_t intcsr_as_held(std::uint32_t value) {
    return korvic_intcsr_keep(value) & ~(KORVIC_INTCSR_LINT1_STATUS | KORVIC_INTCSR_LINT2_STATUS);
}

std::uint32_t InterruptLine::intcsr() const {
    return intcsr_as_loaded(bridge_->word(kBridgeIntCsrOffset), board_inputs(*board_));
}

void InterruptLine::hold(std::uint32_t value) {
    bridge_->hold(kBridgeIntCsrOffset, intcsr_as_held(value));
}

bool InterruptLine::evaluate() {
    const korvic_intcsr_decision d = korvic_intcsr_decide(intcsr());
    if (!d.ours)
        return false;
    hold(d.write);
    count_->fetch_add(1, std::memory_order_acq_rel);
    wake_helpers(*wake_);
    return true;
}

void InterruptLine::rearm() {
    hold(korvic_intcsr_rearm(intcsr()).write);
    evaluate();
}

void InterruptLine::quiet() {
    hold(korvic_intcsr_quiet(intcsr()));
}

}  // namespace korvic::sim
