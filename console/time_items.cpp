// Time items: reset and preset of the board time (6, 7), the two live time displays
// (10, 13) and the time-compare event test (11). Each runs from the menu cycle, which
// clears the screen before and discards the rest of the input line and flushes the output
// after it.
#include <sys/time.h>
#include <time.h>

#include <cstdint>
#include <cstdio>

#include "console.h"
#include "items.h"
#include "korvic_api.h"

namespace korvic::console {

namespace {

constexpr std::int32_t kCompareEvents = 20;

// Time entry of items 7 and 11. ok is false when a typed value did not convert (already
// reported); mode 0 means the format number has no time to write.
struct TimeEntry {
    bool ok;
    std::uint32_t mode;
};

TimeEntry enter_time(Console &c, TimeBuffer &buf) {
    switch (c.v.format) {
        case 1: {
            std::printf("Enter time in timespec format Seconds Nanoseconds :");
            std::int32_t seconds = 0;
            std::int32_t nanoseconds = 0;
            if (!typed(c, seconds) || !typed(c, nanoseconds))
                return {false, 0};
            buf.timespec.seconds = seconds;
            buf.timespec.nanoseconds = nanoseconds;
            std::printf("\nSetting time %d Seconds %d Nanoseconds\n", buf.timespec.seconds,
                        buf.timespec.nanoseconds);
            return {true, KORVIC_MODE_TIMESPEC};
        }
        case 2: {
            std::printf("Enter time in microsecond format: ");
            std::int64_t count = 0;
            if (!typed(c, count))
                return {false, 0};
            buf.microseconds = static_cast<std::uint64_t>(count);
            return {true, KORVIC_MODE_MICROSECONDS};
        }
        case 3: {
            std::printf("Enter time in GPS format:\n");
            korvic_broken_down t = buf.broken_down;
            struct Field {
                const char *prompt;
                std::int32_t *target;
            };
            const Field fields[] = {
                {"Years: ", &t.years},     {"Days: ", &t.days},
                {"Hours: ", &t.hours},     {"Minutes: ", &t.minutes},
                {"Seconds: ", &t.seconds}, {"Milliseconds: ", &t.milliseconds},
            };
            for (const Field &f : fields) {
                std::printf("%s", f.prompt);
                if (!typed(c, *f.target))
                    return {false, 0};
            }
            t.microseconds = 0;
            buf.broken_down = t;
            return {true, KORVIC_MODE_BROKEN_DOWN};
        }
        case 4:
            // The system clock: seconds, and microseconds as nanoseconds.
            gettimeofday(&c.v.system_time, nullptr);
            buf.timespec.seconds = static_cast<std::int32_t>(c.v.system_time.tv_sec);
            buf.timespec.nanoseconds = static_cast<std::int32_t>(c.v.system_time.tv_usec * 1000);
            return {true, KORVIC_MODE_TIMESPEC};
        default:
            return {true, 0};
    }
}

// Prints one 4-bit group of a raw time word as a decimal number.
int nibble(std::uint32_t word, int low_bit) {
    return static_cast<int>((word >> low_bit) & 0xFu);
}

// "waiting...\r" of the compare-event wait. The flag is polled without pause, but the line
// is written only when it can be seen: as a wait begins (an event line may stand in its
// place) and then at most every quarter of a second. Written on every poll it made hundreds
// of megabytes a minute in a file and showed nothing new on a screen.
class WaitingLine {
  public:
    static constexpr long kRepeatNanoseconds = 250'000'000;

    // A new wait: the next poll writes the line.
    void begin() { shown_ = false; }
    void poll() {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (shown_ && nanoseconds_since(last_, now) < kRepeatNanoseconds)
            return;
        std::printf("waiting...\r");
        flush_or_end();
        last_ = now;
        shown_ = true;
    }

  private:
    static long long nanoseconds_since(const timespec &from, const timespec &to) {
        return (static_cast<long long>(to.tv_sec) - from.tv_sec) * 1'000'000'000LL +
               (to.tv_nsec - from.tv_nsec);
    }

    bool shown_ = false;
    timespec last_{};
};

// Ends a live display once a SIGINT has been counted, and takes that SIGINT back.
bool interrupted() {
    if (sigIntCnt == 0)
        return false;
    sigIntCnt = 0;
    return true;
}

}  // namespace

void reset_board_time(Console &) {
    reset_time();
}

void preset_time(Console &c) {
    std::printf("Select time format: 1 = timespec:   2 = 64 bit Microsecond:\n");
    std::printf("                    3 = GPS:        4 = System Time:\n    > ");
    if (!typed(c, c.v.format))
        return;
    const TimeEntry entry = enter_time(c, c.v.preset);
    if (entry.ok && entry.mode != 0)
        set_new_time(entry.mode, &c.v.preset);
}

void show_time_and_status(Console &c) {
    std::printf("\nEnter CTRL-C for new menu\n");
    const std::uint32_t *w = c.v.display.raw;
    do {
        snapshot_time(KORVIC_MODE_RAW, c.v.display.raw);
        std::printf("time is %d%d hours %d%d min %d%d sec %d%d%d ms %d%d%d us  status is %x\r",
                    nibble(w[1], 4), nibble(w[1], 0), nibble(w[1], 12), nibble(w[1], 8),
                    nibble(w[1], 20), nibble(w[1], 16), nibble(w[1], 28), nibble(w[1], 24),
                    nibble(w[0], 20), nibble(w[0], 16), nibble(w[0], 28), nibble(w[0], 24),
                    (w[2] >> 20) & 0xFu);
        flush_or_end();
    } while (!interrupted());
}

void test_time_compare_event(Console &c) {
    std::printf("Select time format: 1 = timespec:    2 = 64 bit Microsecond:\n");
    std::printf("                    3 = GPS:         4 = System Time: \n     > ");
    if (!typed(c, c.v.format))
        return;
    std::printf("Enter Mask value: ");
    if (!typed(c, c.v.mask))
        return;
    const TimeEntry entry = enter_time(c, c.v.compare);
    if (!entry.ok)
        return;
    if (entry.mode != 0)
        write_time_cmp_reg(entry.mode, c.v.mask, &c.v.compare);

    // No time-out and no look at sigIntCnt: a second SIGINT ends the program from the
    // handler. The lines end in "\r" and each is flushed, so that it overwrites the last.
    WaitingLine waiting;
    for (c.v.event_count = 0; c.v.event_count < kCompareEvents;) {
        // A flag that is already set shows no "waiting...".
        waiting.begin();
        while (read_hw_stat_reg_bitfield(KORVIC_HW_STAT_COMPARE_EVENT) == 0)
            waiting.poll();
        std::printf("time compare event number %d\r", c.v.event_count);
        flush_or_end();
        ++c.v.event_count;
        write_hw_ctl_reg_bitfield(KORVIC_HW_CTL_COMPARE_CLEAR, 1);
    }
}

void show_time_broken_down(Console &c) {
    std::printf("\nEnter CTRL-C for new menu\n");
    const korvic_broken_down &t = c.v.display.broken_down;
    do {
        snapshot_time(KORVIC_MODE_BROKEN_DOWN, &c.v.display);
        std::printf("time is %3d years %3d days  %2d hours %2d min %2d sec %3d ms %3d us\r",
                    t.years, t.days, t.hours, t.minutes, t.seconds, t.milliseconds, t.microseconds);
        flush_or_end();
    } while (!interrupted());
}

}  // namespace korvic::console
