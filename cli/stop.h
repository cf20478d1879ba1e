// Ctrl-C (SIGINT) and SIGTERM for the commands that wait: the signal is noted, the command
// finishes the line it is writing, releases the board and then ends by the same signal, so
// that a calling shell or script sees that it was interrupted (status 130 or 143). A stop
// signal that the caller ignored stays ignored.
#pragma once

#include <chrono>

namespace korvic::cli {

class StopSignals {
  public:
    // Catches SIGINT and SIGTERM from here on (without SA_RESTART), each unless it was
    // ignored when korvic started.
    StopSignals();
    // The signal that arrived, or 0.
    static int caught();
    // Sleeps for `d`, or less when a stop signal arrives; not at all when one already has.
    static void sleep_for(std::chrono::nanoseconds d);
    // Ends the process by the caught signal, with its default action. Returns if none came.
    static void end_by_signal();
};

}  // namespace korvic::cli
