// The subcommands, each on an attached board. Their arguments have been checked before the
// board was attached; each returns the exit status (0, or 1 for a timeout with a count not
// reached), throws Failure (or the library's exceptions) for a failure, and returns early
// when a stop signal arrived (see stop.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "korvic/board.hpp"
#include "output.h"

namespace korvic::cli {

// How long a waiting command goes on: `count` records (0: no limit), until `timeout` (none:
// no limit) or a stop signal.
struct Limits {
    std::uint64_t count = 0;
    std::optional<std::chrono::nanoseconds> timeout;
    std::string timeout_text;  // as given, for the message when it is reached
};

int show_time(Board &board, const Output &out);
int show_offset(Board &board, const Output &out, std::uint64_t count,
                std::chrono::nanoseconds interval);
int show_status(Board &board, const Output &out);
int show_registers(Board &board, const Output &out);
int preset(Board &board, const Output &out, utc_time t);
int preset_now(Board &board, const Output &out);
// `t` with a mask other than off; nothing and CompareMask::off for `compare off`.
int set_compare(Board &board, const Output &out, std::optional<utc_time> t, CompareMask mask);
int wait_compare(Board &board, const Output &out, const Limits &limits);
int watch_events(Board &board, const Output &out, const Limits &limits);
int set_timer(Board &board, const Output &out, bool run);

}  // namespace korvic::cli
