// The board's interrupt at its PCI bridge, as the simulator models it.
//
// Model choices (a real board must confirm them): the compare flag (status bit 9, lowered
// by hardware-control bit 25) drives the bridge's local interrupt input 1, and a captured
// external event (status bit 10, lowered by a read of 0x174) drives input 2; both are
// levels. The bridge's INTCSR shows them in its read-only status bits (2 and 5), and whether
// the bridge raises its interrupt, and what the driver writes back, is decided by the very
// function the kernel module's handler uses (kmod/korvic_intcsr.h): an interrupt that is
// the board's masks the inputs that fired and adds one to the board's count, which every
// process of the run shares (what a read() of the node returns), and wakes the processes
// that wait on the node.
#pragma once

#include <atomic>
#include <cstdint>

#include "board.h"

namespace korvic::sim {

// What the processes of a run share for the interrupts of all its boards: a word that
// changes whenever an interrupt is counted or a board's schedule may have changed (a
// futex word: the nodes' helpers sleep on it), and how many helpers there are.
struct InterruptWake {
    std::atomic<std::uint32_t> changes{0};
    std::atomic<std::uint32_t> helpers{0};
};
static_assert(sizeof(std::atomic<std::uint32_t>) == 4 &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "a futex word");

// Changes the wake word and wakes every helper of the run that sleeps on it. No
// allocation, no lock: called from signal handlers too.
void wake_helpers(InterruptWake &w);

// The input status bits that the board drives into INTCSR now.
std::uint32_t board_inputs(const Board &board);
// INTCSR as a load sees it: what is held, with the inputs' status bits.
std::uint32_t intcsr_as_loaded(std::uint32_t held, std::uint32_t inputs);
// What a store of `value` to INTCSR leaves held: not the read-only status bits, nor the
// latch-clear bits (which act and read 0; the model's inputs are levels, no latch).
std::uint32_t intcsr_as_held(std::uint32_t value);

// One board's interrupt line, over its model, its bridge and its count. Every call is
// made under the run's lock.
class InterruptLine {
  public:
    InterruptLine(Board &board, Bridge &bridge, std::atomic<std::uint32_t> &count,
                  InterruptWake &wake)
        : board_(&board), bridge_(&bridge), count_(&count), wake_(&wake) {}

    // After any change of the board or of INTCSR: when the bridge asserts the interrupt,
    // does what the driver's handler does (masks the inputs that fired), counts it and
    // wakes the helpers. True when it counted one.
    bool evaluate();
    // The node's write(1) (each input whose status is clear enabled, and the PCI
    // interrupt) and write(0) (both inputs and the PCI interrupt disabled), each followed
    // by evaluate().
    void rearm();
    void quiet();

    std::uint32_t intcsr() const;
    std::uint32_t count() const { return count_->load(std::memory_order_acquire); }

  private:
    void hold(std::uint32_t value);

    Board *board_;
    Bridge *bridge_;
    std::atomic<std::uint32_t> *count_;
    InterruptWake *wake_;
};

}  // namespace korvic::sim
