// The simulated board's interrupt node, /dev/korvic_sim/uio (board K: uioK), as the
// preload library serves it: what the kernel's UIO node of korvic_uio is to a real board.
//
// Each open is an eventfd, so that poll(), select() and epoll wait on it natively; read()
// and write() of it are interposed (uio_node.cpp): a read of 4 bytes blocks in a real
// read() of the eventfd until an interrupt has been counted since the last read, then
// gives the board's count; a write of the 32-bit 1 or 0 re-arms or disables the board's
// interrupt inputs at its bridge (interrupt_line.h); other sizes and values are EINVAL.
//
// The board model moves only when something looks at it, so each process that waits on a
// node runs a helper thread: at each of the board's scheduled events (a compare crossing, a
// periodic external event) and at each requested one (--ext-signal) it lets the event
// happen, evaluates the bridge's interrupt line, and, whenever the board's count has grown
// (in any process of the run), makes every node of that board in its process readable.
// The helper starts when the process first waits on a node: a read(), or the node in a
// poll(), ppoll(), select(), pselect() or epoll_ctl().
#pragma once

#include <cstddef>

namespace korvic::sim {

class Simulator;

namespace uio {

// From the preload library: the board whose node `fd` is (0: none), and the process's
// simulator.
int board_of_node(int fd);
Simulator *simulator();

// A new node of board `board` for open() with `flags` (O_NONBLOCK and O_CLOEXEC are
// honoured): the eventfd, or -1 and errno.
int open_node(int board, int flags);
// close() of `fd`, a node: the helper lets go of it first. Async-signal-safe.
void forget(int fd);
// An external event was requested (a signal handler): the helpers look at the boards now.
// Async-signal-safe.
void kick();

}  // namespace uio
}  // namespace korvic::sim
