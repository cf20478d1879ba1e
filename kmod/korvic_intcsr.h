/* SPDX-License-Identifier: (GPL-2.0-only OR BSD-2-Clause) */
/*
 * The board's interrupt at its PCI bridge: what the bridge's interrupt
 * control and status register (INTCSR) says, and what to write back to it.
 *
 * The bridge is of the 9050/9052/9030 family: INTCSR is the 32-bit word at
 * 0x4C of its 128-byte local configuration window (map 0 of the UIO node).
 * The board drives the bridge's two local interrupt inputs; the bridge holds
 * the PCI interrupt (INTA#, a level line that other devices may share)
 * asserted while the PCI interrupt is enabled and an enabled input is active.
 *
 * Pure functions of one INTCSR value, with no bus access and no libc, shared
 * by the kernel module, the simulator's bridge model and the unit tests:
 *
 *   korvic_intcsr_decide(v)  the interrupt handler: whether the interrupt is
 *                            the board's, which inputs fired, and the value
 *                            that masks them (their enable bits cleared)
 *   korvic_intcsr_rearm(v)   write(1) on the node: the value that enables
 *                            each input whose status is clear, and the PCI
 *                            interrupt
 *   korvic_intcsr_quiet(v)   probe, remove and write(0): both inputs and the
 *                            PCI interrupt disabled
 *
 * All ones is what a read returns when the board no longer answers (removed,
 * powered off, a bus error): then nothing is the board's and nothing is to be
 * written.
 *
 * Bits read: the enable and status of each input, the PCI enable, each
 * input's edge mode (its status is then a latch) and the two latch-clear bits.
 * A value to write keeps every other bit as it was read, and carries a
 * latch-clear bit only to clear the latch of an input that it masks as fired:
 * a read-modify-write never clears the latch of an event that nobody has seen.
 *
 * After writing 1, a waiter looks at its own source on the board once more
 * before it blocks: an input whose status is raised when the node is re-armed
 * stays masked, since it may be a source that nobody consumes (a compare flag
 * left raised), which would otherwise wake every waiter again at once.
 */
#ifndef KORVIC_INTCSR_H
#define KORVIC_INTCSR_H

#ifdef __KERNEL__
#include <linux/types.h>
#else
#include <stdbool.h>
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Where INTCSR lies in the bridge window, and what a read of a gone board gives. */
#define KORVIC_INTCSR_OFFSET 0x4cu
#define KORVIC_INTCSR_GONE 0xffffffffu

/* The bits of INTCSR that the decision reads. */
#define KORVIC_INTCSR_LINT1_ENABLE (1u << 0)
#define KORVIC_INTCSR_LINT1_STATUS (1u << 2) /* read-only */
#define KORVIC_INTCSR_LINT2_ENABLE (1u << 3)
#define KORVIC_INTCSR_LINT2_STATUS (1u << 5) /* read-only */
#define KORVIC_INTCSR_PCI_ENABLE (1u << 6)
#define KORVIC_INTCSR_LINT1_EDGE (1u << 8) /* 1: status latches an edge */
#define KORVIC_INTCSR_LINT2_EDGE (1u << 9)
#define KORVIC_INTCSR_LINT1_CLEAR (1u << 10) /* write 1: clear the latch */
#define KORVIC_INTCSR_LINT2_CLEAR (1u << 11)

/* The two inputs, as bits of the fields fired and armed below. */
#define KORVIC_LINT1 1u
#define KORVIC_LINT2 2u

struct korvic_intcsr_decision {
	uint32_t write; /* the value to write to INTCSR; only when ours */
	uint8_t fired;	/* enabled inputs whose status is raised */
	bool ours;	/* the bridge asserts the PCI interrupt: IRQ_HANDLED */
	bool gone;	/* INTCSR read as all ones */
};

struct korvic_intcsr_arming {
	uint32_t write; /* the value to write to INTCSR; not when gone */
	uint8_t armed;	/* inputs enabled by it */
	uint8_t held;	/* inputs left masked: their status is raised */
	bool gone;	/* INTCSR read as all ones */
};

/* One input's bits in INTCSR. */
struct korvic_intcsr_input {
	uint32_t enable, status, edge, clear;
};

static inline struct korvic_intcsr_input
korvic_intcsr_input_bits(unsigned int input)
{
	struct korvic_intcsr_input b;

	if (input == KORVIC_LINT1) {
		b.enable = KORVIC_INTCSR_LINT1_ENABLE;
		b.status = KORVIC_INTCSR_LINT1_STATUS;
		b.edge = KORVIC_INTCSR_LINT1_EDGE;
		b.clear = KORVIC_INTCSR_LINT1_CLEAR;
	} else {
		b.enable = KORVIC_INTCSR_LINT2_ENABLE;
		b.status = KORVIC_INTCSR_LINT2_STATUS;
		b.edge = KORVIC_INTCSR_LINT2_EDGE;
		b.clear = KORVIC_INTCSR_LINT2_CLEAR;
	}
	return b;
}

/* v without the latch-clear bits: the base of every value written. */
static inline uint32_t korvic_intcsr_keep(uint32_t v)
{
	return v & ~(KORVIC_INTCSR_LINT1_CLEAR | KORVIC_INTCSR_LINT2_CLEAR);
}

/*
 * The interrupt handler's decision. The interrupt is the board's when the PCI
 * interrupt is enabled and at least one enabled input is active; then write
 * masks each input that fired (and clears its latch when it is edge
 * triggered), leaving the other input and the PCI enable as they were.
 */
static inline struct korvic_intcsr_decision korvic_intcsr_decide(uint32_t v)
{
	struct korvic_intcsr_decision d;
	unsigned int input;

	d.write = korvic_intcsr_keep(v);
	d.fired = 0;
	d.gone = v == KORVIC_INTCSR_GONE;
	d.ours = false;
	if (d.gone)
		return d;
	for (input = KORVIC_LINT1; input <= KORVIC_LINT2; input++) {
		struct korvic_intcsr_input b = korvic_intcsr_input_bits(input);

		if (!(v & b.enable) || !(v & b.status))
			continue;
		d.fired |= input;
		d.write &= ~b.enable;
		if (v & b.edge)
			d.write |= b.clear;
	}
	d.ours = (v & KORVIC_INTCSR_PCI_ENABLE) && d.fired;
	return d;
}

/*
 * write(1): each input whose status is clear is enabled, and the PCI
 * interrupt; an input whose status is raised keeps its enable bit as read.
 */
static inline struct korvic_intcsr_arming korvic_intcsr_rearm(uint32_t v)
{
	struct korvic_intcsr_arming r;
	unsigned int input;

	r.write = korvic_intcsr_keep(v) | KORVIC_INTCSR_PCI_ENABLE;
	r.armed = 0;
	r.held = 0;
	r.gone = v == KORVIC_INTCSR_GONE;
	if (r.gone)
		return r;
	for (input = KORVIC_LINT1; input <= KORVIC_LINT2; input++) {
		struct korvic_intcsr_input b = korvic_intcsr_input_bits(input);

		if (!(v & b.status))
			r.write |= b.enable;
		else if (!(v & b.enable))
			r.held |= input;
		if (r.write & b.enable)
			r.armed |= input;
	}
	return r;
}

/* Probe, remove and write(0): both inputs and the PCI interrupt disabled. */
static inline uint32_t korvic_intcsr_quiet(uint32_t v)
{
	return korvic_intcsr_keep(v) &
	       ~(KORVIC_INTCSR_LINT1_ENABLE | KORVIC_INTCSR_LINT2_ENABLE |
		 KORVIC_INTCSR_PCI_ENABLE);
}

#ifdef __cplusplus
}
#endif

#endif /* KORVIC_INTCSR_H */
