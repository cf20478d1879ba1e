// preset_from_clock: sets the board's time from the system clock and reads it back.
//
// Run it in a directory that holds korvic_cfg.dat (see ../korvic_cfg.dat). It presets the
// board with the system's UTC time as seconds and nanoseconds (time mode 1), reads the
// board's time back in the same mode and prints both and their difference.
//
// The difference is not just the time between the two calls. The preset goes through the
// calendar (leap years counted), but the readers count every year since 1970 as 365 days,
// so a read-back lies one day early for every 29 February since 1970; and the reader adds
// the DAY_OFF= days and TZ_OFF= hours of korvic_cfg.dat (SEC_OFF= is added on the way in
// and taken off on the way out, so it cancels). The program prints each share and what is
// left, which is the time the board ran between the preset and the read-back (less the
// sub-millisecond part, since the preset register holds no microseconds).
//
// The board's seconds are 32-bit: this works for times up to January 2038.
//
// Exit status: 0 on success; 1 when the board cannot be attached, a call is refused, or
// the system clock is past the board's 32-bit range.
#include <time.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "korvic_api.h"

namespace {

bool is_leap(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Leap days from 1 January 1970 up to the start of the year, that is the days by which
// the board's 365-day years fall short of the calendar at the start of that year.
std::int64_t leap_days_before(std::int64_t year) {
    std::int64_t n = 0;
    for (std::int64_t y = 1970; y < year; ++y)
        n += is_leap(y) ? 1 : 0;
    return n;
}

std::int64_t nanoseconds_of(const korvic_timespec &t) {
    return static_cast<std::int64_t>(t.seconds) * 1'000'000'000 + t.nanoseconds;
}

}  // namespace

int main() {
    if (init_847() != 0) {
        std::fprintf(stderr,
                     "preset_from_clock: cannot attach to the board (is korvic_cfg.dat in the "
                     "working directory, and does its MEM_PATH= name the board's register "
                     "device?)\n");
        return EXIT_FAILURE;
    }

    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) {
        std::perror("preset_from_clock: clock_gettime");
        close_847();
        return EXIT_FAILURE;
    }
    if (now.tv_sec < 0 || now.tv_sec > INT32_MAX) {
        std::fprintf(stderr, "preset_from_clock: the system time is out of the board's range\n");
        close_847();
        return EXIT_FAILURE;
    }

    korvic_timespec preset{static_cast<std::int32_t>(now.tv_sec),
                           static_cast<std::int32_t>(now.tv_nsec)};
    // The library works on a copy when it adds SEC_OFF=: preset keeps the system time.
    if (set_new_time(KORVIC_MODE_TIMESPEC, &preset) != 0) {
        std::fprintf(stderr, "preset_from_clock: set_new_time refused the timespec mode\n");
        close_847();
        return EXIT_FAILURE;
    }

    korvic_timespec back{};
    if (snapshot_time(KORVIC_MODE_TIMESPEC, &back) != 0) {
        std::fprintf(stderr, "preset_from_clock: snapshot_time refused the timespec mode\n");
        close_847();
        return EXIT_FAILURE;
    }

    // The year that the preset went into the board as: the board's calendar is UTC, with
    // SEC_OFF= added by the library.
    const time_t board_seconds = static_cast<time_t>(preset.seconds) + g_time_offset;
    tm board_tm{};
    gmtime_r(&board_seconds, &board_tm);
    const std::int64_t year = board_tm.tm_year + 1900;

    const std::int64_t difference = nanoseconds_of(back) - nanoseconds_of(preset);
    const std::int64_t leap_share = -leap_days_before(year) * 86'400 * 1'000'000'000LL;
    const std::int64_t offset_share =
        (static_cast<std::int64_t>(g_day_offset) * 86'400 + g_tz_offset * 3'600LL) *
        1'000'000'000LL;
    const std::int64_t rest = difference - leap_share - offset_share;

    std::printf("preset:     %" PRId32 " s %09" PRId32 " ns (system clock, UTC)\n", preset.seconds,
                preset.nanoseconds);
    std::printf("read back:  %" PRId32 " s %09" PRId32 " ns (board)\n", back.seconds,
                back.nanoseconds);
    std::printf("difference: %+.6f s, made of\n", static_cast<double>(difference) / 1e9);
    std::printf("%+20.6f s  365-day years: %" PRId64 " leap days since 1970 left out\n",
                static_cast<double>(leap_share) / 1e9, leap_days_before(year));
    std::printf("%+20.6f s  DAY_OFF=%" PRId32 " and TZ_OFF=%" PRId32 " of korvic_cfg.dat\n",
                static_cast<double>(offset_share) / 1e9, g_day_offset, g_tz_offset);
    std::printf("%+20.6f s  rest: the board's run between the two calls\n",
                static_cast<double>(rest) / 1e9);

    close_847();
    return EXIT_SUCCESS;
}
