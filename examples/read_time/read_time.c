/*
 * read_time: reads the board's current time once in each of the four time modes.
 *
 * Run it in a directory that holds korvic_cfg.dat (see ../korvic_cfg.dat): the C API reads
 * that file and no environment. On the simulated board, `korvic_sim --workdir . --
 * ./read_time` writes one there (or, inside a run, cp "$KORVIC_CONFIG" korvic_cfg.dat).
 * Every snapshot_time call latches the board's time anew, so the four lines show four
 * successive instants, a few microseconds apart.
 *
 * Exit status: 0 when every reading succeeded; 1 when the board cannot be attached or a
 * reading is refused. init_847 itself ends the process with status 255 when an
 * ENABLE_INT line of korvic_cfg.dat cannot reach the bridge device.
 */
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "korvic_api.h"

static int fail(const char *what) {
    fprintf(stderr, "read_time: %s\n", what);
    close_847();
    return EXIT_FAILURE;
}

int main(void) {
    uint32_t raw[3];
    struct korvic_timespec ts;
    uint64_t count;
    struct korvic_broken_down bd;

    /* init_847 has already said why with perror when it fails. */
    if (init_847() != 0) {
        fprintf(stderr,
                "read_time: cannot attach to the board (is korvic_cfg.dat in the working "
                "directory, and does its MEM_PATH= name the board's register device?)\n");
        return EXIT_FAILURE;
    }

    /* Mode 0: the three time-and-status words as the board holds them. */
    if (snapshot_time(KORVIC_MODE_RAW, raw) != 0)
        return fail("snapshot_time refused the raw mode");
    printf("raw:          %08" PRIx32 " %08" PRIx32 " %08" PRIx32 "\n", raw[0], raw[1], raw[2]);

    /* Mode 1: seconds since 1970 counting every year as 365 days, and nanoseconds. */
    if (snapshot_time(KORVIC_MODE_TIMESPEC, &ts) != 0)
        return fail("snapshot_time refused the timespec mode");
    printf("timespec:     %" PRId32 " s %09" PRId32 " ns\n", ts.seconds, ts.nanoseconds);

    /* Mode 2: one 64-bit count of microseconds, also with 365-day years. */
    if (snapshot_time(KORVIC_MODE_MICROSECONDS, &count) != 0)
        return fail("snapshot_time refused the microsecond mode");
    printf("microseconds: %" PRIu64 "\n", count);

    /* Mode 3: the board's digits; days is the day of the year as the board counts it. */
    if (snapshot_time(KORVIC_MODE_BROKEN_DOWN, &bd) != 0)
        return fail("snapshot_time refused the broken-down mode");
    printf("broken-down:  year %" PRId32 " day %03" PRId32 " %02" PRId32 ":%02" PRId32 ":%02" PRId32
           ".%03" PRId32 "%03" PRId32 "\n",
           bd.years, bd.days, bd.hours, bd.minutes, bd.seconds, bd.milliseconds, bd.microseconds);

    close_847();
    return EXIT_SUCCESS;
}
