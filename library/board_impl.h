// The inside of korvic::Board, for the library's sources and, through korvic_api_internal,
// for this project's tests and benchmarks. Not installed.
#pragma once

#include "korvic/board.hpp"
#include "mmio.h"
#include "timecodec.h"

namespace korvic {

using SystemClock = system_time (*)();

// CLOCK_REALTIME, read with clock_gettime.
system_time realtime_now();

struct Board::Impl {
    Settings settings;
    mmio::Window window{};
    codec::Offsets offsets{};  // hours TZ_OFF, days DAY_OFF, seconds SEC_OFF
    void *mapping = nullptr;   // the window this Board mapped (nullptr: the caller's window)
    int fd = -1;               // the register device this Board opened
    SystemClock clock = &realtime_now;

    Impl() = default;
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;
    // Unmaps and closes what this Board opened. No bus access.
    ~Impl();
};

namespace detail {

class BoardInternals {
  public:
    // A Board over a register window that the caller has mapped and keeps (a test's trapped
    // or memory window): the byte order and offsets of `settings`, whose paths are not
    // looked at. Nothing is opened, and nothing is unmapped when the Board goes.
    static Board over_window(void *window, const Settings &settings);

    // The clock that sample() reads, in place of CLOCK_REALTIME.
    static void set_clock(Board &board, SystemClock clock);
};

}  // namespace detail
}  // namespace korvic
