// State shared by the console's frame (korvic_test.cpp) and its items (items.cpp).
#pragma once

#include <sys/time.h>

#include <csignal>
#include <cstdint>

#include "input.h"
#include "korvic_api.h"

// SIGINTs counted since the last live display ended. signal_handler adds to it; the live
// displays read it afresh on every pass and set it back to 0.
extern volatile std::sig_atomic_t sigIntCnt;

extern "C" void signal_handler(int sig);
// SIGHUP: the terminal is gone. Releases the board and ends the program as a hang-up does.
extern "C" void hangup_handler(int sig);

namespace korvic::console {

// One time buffer of seven 32-bit words, aligned for the 64-bit microsecond count; the
// time mode of a call decides which view the library fills or reads.
union TimeBuffer {
    std::uint32_t raw[7];
    korvic_timespec timespec;
    std::uint64_t microseconds;
    korvic_broken_down broken_down;
};

// The working values of the menu loop. They live for the whole run and keep their values
// from one menu cycle to the next; only a successful read or an item's own assignment
// changes them.
struct WorkingValues {
    std::int32_t choice = 0;
    std::uint32_t diag_word = 0;
    std::uint32_t conf_word = 0;
    std::uint32_t zero_word = 0;
    std::int32_t format = 0;      // shared by items 7 and 11
    std::int32_t bit_number = 0;  // shared by items 3 and 9
    std::int32_t bit_value = 0;
    std::int32_t mask = 0;
    std::int32_t event_count = 0;
    timeval system_time{};
    TimeBuffer preset{};
    TimeBuffer compare{};
    TimeBuffer display{};
};

struct Console {
    Input &in;
    WorkingValues &v;
};

// Releases the board and ends the program with status 0: item 20 and end of input.
[[noreturn]] void end_session();

// Exit status when standard output fails (a terminal that is gone, a closed pipe, a full
// disk) or is closed when the console starts.
inline constexpr int kOutputGone = 1;

// Flushes standard output. When that fails for good, the output has gone: releases the
// board, says so on standard error and ends with kOutputGone, instead of looping on.
void flush_or_end();

// Reads one typed value of an item. End of input ends the session; a value that does not
// convert is reported, and the item must then write nothing.
bool typed(Console &c, std::int32_t &out);
bool typed(Console &c, std::int64_t &out);

}  // namespace korvic::console
