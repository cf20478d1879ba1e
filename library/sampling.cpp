// korvic::Board against the system clock: sample(), best_of() and preset_now(), and the
// exact Offset between a board time and the system clock. Every reading of the system
// clock that the library makes is made here, through the Board's clocks (board_impl.h).
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "bitfields.h"
#include "board_impl.h"
#include "korvic/board.hpp"
#include "regmap.h"
#include "sequences.h"
#include "timecodec.h"

namespace korvic {
namespace {

using regs::Reg;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// A reading that found the system clock stepped back is made again this often in all.
constexpr int kSampleTries = 3;
constexpr int kMostReadings = 1000;

nanoseconds clock_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return std::chrono::seconds{ts.tv_sec} + nanoseconds{ts.tv_nsec};
}

// An Offset as a sign and a magnitude in seconds and nanoseconds, for the text forms.
struct Magnitude {
    bool negative;
    std::int64_t seconds;
    std::int64_t nanos;
};

Magnitude magnitude(const Offset &o) {
    const std::int64_t s = o.seconds().count(), n = o.subseconds().count();
    if (s >= 0)
        return {false, s, n};
    if (n == 0)
        return {true, -s, 0};
    return {true, -s - 1, kNanosPerSecond - n};
}

std::string nine_digits(std::int64_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "%09lld", static_cast<long long>(n));
    return text;
}

// One reading: the monotonic clock, the system clock, the snapshot strobe and its first
// load, the system clock, the monotonic clock, then the other two loads, all under the
// board lock (taken before the first clock reading: a wait for it is no part of the
// bracket).
Reading read_one(const mmio::Window &window, SystemClock clock, MonotonicClock monotonic,
                 const codec::Offsets &offsets) {
    const seq::Hold hold(window);
    Reading r;
    r.mono_before = monotonic();
    r.sample.before = clock();
    const codec::Words w = seq::snapshot(window, [&] {
        r.sample.after = clock();
        r.mono_after = monotonic();
    });
    r.sample.board = to_utc(codec::decode<codec::kTimeStatus>(w), offsets);
    r.sample.status = w[0];
    return r;
}

// The whole second that preset_now() aims for when the system clock reads `now` and the
// preset costs `cost`: the next one that leaves at least 20 ms to get ready.
utc_time next_whole_second(system_time now, nanoseconds cost) {
    return std::chrono::ceil<std::chrono::seconds>(
        std::chrono::floor<microseconds>(now + cost + milliseconds{20}));
}

// The range check of preset_now() for a system clock reading `now`: the latest second it
// may aim for (a preset's cost is far below a second).
void check_preset_time(system_time now, const codec::Offsets &o) {
    board_digits(next_whole_second(now, std::chrono::seconds{1}), o,
                 "preset now: the system clock");
}

// For the wait, the preset and the read-back of preset_now(): the thread at the lowest
// real-time priority (SCHED_FIFO) when the system allows it, so that no ordinary process of
// a busy machine runs in between; as it was otherwise and afterwards.
class RealTimeWindow {
  public:
    RealTimeWindow() {
        sched_param rt{};
        rt.sched_priority = sched_get_priority_min(SCHED_FIFO);
        if (pthread_getschedparam(pthread_self(), &policy_, &old_) == 0)
            raised_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt) == 0;
    }
    ~RealTimeWindow() {
        if (raised_)
            pthread_setschedparam(pthread_self(), policy_, &old_);
    }
    RealTimeWindow(const RealTimeWindow &) = delete;
    RealTimeWindow &operator=(const RealTimeWindow &) = delete;

  private:
    int policy_ = SCHED_OTHER;
    sched_param old_{};
    bool raised_ = false;
};

// A first estimate of how long a preset takes from the call to its last bus access, the
// store of the load bit: the median of five timed runs of as many accesses (three for the
// preset words, two for the configuration register's read-modify-write), made as loads, so
// that the board changes nothing meanwhile, under the board lock as the preset will be. A
// preset made since is a better measure (see preset_now()).
nanoseconds preset_cost(const mmio::Window &window, SystemClock clock) {
    const seq::Hold hold(window);
    std::array<nanoseconds, 5> runs{};
    for (nanoseconds &run : runs) {
        const system_time start = clock();
        seq::read_group(window, Reg::PresetTime);
        seq::read_field(window, Reg::Config, fields::kConfig, fields::kTimerStop);
        seq::read_field(window, Reg::Config, fields::kConfig, fields::kTimerStop);
        run = clock() - start;
    }
    std::sort(runs.begin(), runs.end());
    return runs[runs.size() / 2];
}

}  // namespace

system_time realtime_now() {
    return system_time{clock_ns(CLOCK_REALTIME)};
}

nanoseconds monotonic_now() {
#ifdef CLOCK_MONOTONIC_RAW
    return clock_ns(CLOCK_MONOTONIC_RAW);
#else
    return clock_ns(CLOCK_MONOTONIC);
#endif
}

// ---------------------------------------------------------------------------------------
// Offset.
// ---------------------------------------------------------------------------------------

std::optional<nanoseconds> Offset::as_nanoseconds() const {
    constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / kNanosPerSecond;
    const std::int64_t s = seconds_.count(), n = nanos_.count();
    if (s >= 0) {
        if (s > kMaxSeconds || n > std::numeric_limits<std::int64_t>::max() - s * kNanosPerSecond)
            return std::nullopt;
        return nanoseconds{s * kNanosPerSecond + n};
    }
    // s * 1e9 + n as (s + 1) * 1e9 - (1e9 - n), whose parts never overflow on the way.
    if (s + 1 < -kMaxSeconds)
        return std::nullopt;
    const std::int64_t base = (s + 1) * kNanosPerSecond, back = kNanosPerSecond - n;
    if (base < std::numeric_limits<std::int64_t>::min() + back)
        return std::nullopt;
    return nanoseconds{base - back};
}

double Offset::to_seconds() const {
    // The count of nanoseconds, rounded once, as far as 64 bits hold it.
    if (const std::optional<nanoseconds> ns = as_nanoseconds())
        return static_cast<double>(ns->count()) / 1e9;
    return static_cast<double>(seconds_.count()) + static_cast<double>(nanos_.count()) / 1e9;
}

std::string Offset::nanoseconds_text() const {
    const Magnitude m = magnitude(*this);
    const std::string digits =
        m.seconds == 0 ? std::to_string(m.nanos) : std::to_string(m.seconds) + nine_digits(m.nanos);
    return (m.negative ? "-" : "+") + digits;
}

std::string Offset::seconds_text() const {
    const Magnitude m = magnitude(*this);
    return (m.negative ? "-" : "+") + std::to_string(m.seconds) + "." + nine_digits(m.nanos);
}

// ---------------------------------------------------------------------------------------
// Readings.
// ---------------------------------------------------------------------------------------

Sample Board::sample() {
    for (int i = 0; i < kSampleTries; ++i)
        if (const BestReading r = best_of(1); r.best)
            return r.best->sample;
    throw ClockStepped("korvic: sample: the system clock stepped back inside " +
                       std::to_string(kSampleTries) + " readings in a row");
}

BestReading Board::best_of(int readings) {
    if (readings < 1 || readings > kMostReadings)
        throw std::out_of_range("korvic: best_of: " + std::to_string(readings) +
                                " readings is not 1 to " + std::to_string(kMostReadings));
    const Impl &b = live();
    BestReading out;
    for (int i = 0; i < readings; ++i) {
        const Reading r = read_one(b.window, b.clock, b.monotonic, b.offsets);
        if (r.bracket() < nanoseconds{0})
            ++out.refused;
        else if (!out.best || r.bracket() < out.best->bracket())
            out.best = r;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// preset_now().
// ---------------------------------------------------------------------------------------

void check_preset_now(const Settings &settings) {
    check_preset_time(realtime_now(), offsets_of(settings));
}

PresetNow Board::preset_now() {
    const Impl &b = live();
    check_preset_time(b.clock(), b.offsets);
    nanoseconds cost = preset_cost(b.window, b.clock);
    bool measured = false;  // cost is a preset's own duration
    for (int attempt = 1;; ++attempt) {
        const bool last = attempt == kPresetNowAttempts;
        const utc_time target = next_whole_second(b.clock(), cost);
        PresetNow result{target, Sample{}, cost, attempt};
        // Sleeps on CLOCK_REALTIME until the preset's instant less 2 ms, spins to it less
        // 200 us, then, holding the board lock, spins to it reading the configuration
        // register: the sleep's wake-up jitter does not reach the preset, and neither does
        // the slower first access after an idle stretch (cold caches, a bus or a simulator
        // that catches up), nor a wait for the lock.
        const system_time at = system_time{target} - cost;
        const nanoseconds wake = (at - milliseconds{2}).time_since_epoch();
        const timespec until{static_cast<time_t>(wake.count() / kNanosPerSecond),
                             static_cast<long>(wake.count() % kNanosPerSecond)};
        BestReading back;
        {
            const RealTimeWindow window;
            const utc_time before = now();
            while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &until, nullptr) == EINTR) {
            }
            // A board whose timer is stopped (or that stands still) would take the preset
            // and keep it standing.
            if (now() <= before) {
                const bool stopped = !timer_running();
                throw BoardNotRunning(
                    std::string("korvic: preset now: the board does not run: ") +
                        (stopped ? "its timer is stopped" : "its time stands still") +
                        "; nothing was preset",
                    stopped);
            }
            while (b.clock() < at - microseconds{200}) {
            }
            const seq::Hold hold(b.window);
            system_time t = b.clock();
            for (; t < at; t = b.clock())
                seq::read_field(b.window, Reg::Config, fields::kConfig, fields::kTimerStop);
            // Late: nothing is written, the next second is the target.
            if (t - at > kPresetNowLate && !last)
                continue;
            const system_time start = b.clock();
            seq::preset(b.window, codec::encode<codec::kPresetTime>(
                                      board_digits(target, b.offsets, "preset")));
            // The load bit is the call's last access: the next attempt allows for the
            // shortest preset seen (stores may cost more than loads; a first preset runs
            // cold code; a preemption only ever makes one longer).
            const nanoseconds took = b.clock() - start;
            cost = measured ? std::min(cost, took) : took;
            measured = true;
            back = best_of(5);
        }
        if (!back.best) {
            if (last)
                throw ClockStepped(
                    "korvic: preset now: the system clock stepped back inside every reading "
                    "read back");
            continue;
        }
        result.read_back = back.best->sample;
        if (abs(result.residual()) > Offset{kPresetNowResidual} && !last)
            continue;
        return result;
    }
}

}  // namespace korvic
