// korvicd's pure core: choosing the best of a burst of readings, judging whether the board
// can be trusted, the summary statistics, and the two wire formats chrony and ntpd read
// (the SOCK datagram and the NTP shared-memory record). No system calls here: every input
// arrives as values, every decision leaves as values and log lines, so that the tests can
// drive it with sequences of made-up samples.
#pragma once

#include <sys/time.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "korvic/board.hpp"
#include "leap.h"
#include "status.h"

namespace korvicd {

using std::chrono::nanoseconds;

// One reading of the board: its sample (CLOCK_REALTIME around the latch) with
// CLOCK_MONOTONIC_RAW read just before and just after it, from korvic::Board::best_of().
// The monotonic readings place the latch on a clock that neither chrony's slewing nor a
// step of the system clock moves, which is what the health checks compare the board
// against.
using Reading = korvic::Reading;

// ---------------------------------------------------------------------------------------
// Board health.
// ---------------------------------------------------------------------------------------

enum class Health {
    starting,      // not yet enough consistent samples since start
    ok,            // consistent: samples are fed
    stopped,       // the board time did not advance between two samples
    stepped,       // it moved against the system clock by more than the step limit, and is
                   // neither back nor has it held its new offset for the hold-off yet
    rate,          // it moved against the system clock faster than the rate limit allows
    recovering,    // a stopped board runs again; waiting for consistent samples
    out_of_range,  // its time lies outside 1970 to 2099 (after reset_time: year 0)
    leap_second,   // either clock lies within 1 s of an announced leap second
    missed_leap,   // the board did not follow an announced leap second: until it is right
    status,        // a status bit of --require-status reads otherwise
};
// The last state: the states count from starting (0) to it.
inline constexpr Health kLastHealth = Health::status;

// "starting", "ok", "stopped", "stepped", "rate error", "recovering", "out of range",
// "leap second", "missed leap second", "status mismatch".
std::string_view to_string(Health h);

struct HealthLimits {
    nanoseconds max_step{std::chrono::seconds{1}};
    double max_rate_ppm = 500.0;
    int consistent_needed = 3;  // consistent intervals in a row before samples are fed
    // How long a board that stepped must hold its new offset before it is believed.
    nanoseconds step_holdoff{std::chrono::seconds{60}};
};

// Compares each kept reading with the one before: the board's advance against the
// advance of CLOCK_MONOTONIC_RAW, less the second that each announced leap second the
// board ran across adds (inserted) or takes (deleted). An interval is
//   stopped    when the board time did not change at all,
//   missed     when it crossed an announced leap second and advanced as if there were none,
//   stepped    when |board advance - monotonic advance| exceeds max_step,
//   rate       when it exceeds max_rate_ppm of the monotonic advance, plus what the
//              readings themselves cannot tell apart: half of each monotonic bracket
//              and the board's microsecond digit,
//   consistent otherwise.
// A reading whose board time lies outside 1970 to 2099 is judged by nothing else: the
// board is out of range until a reading within it, which is judged afresh from there
// ("recovering"), as after a restart; no interval spans the two. Neither is an interval
// judged within 1 s of an announced leap second, by the system clock or by the board's:
// the state is "leap second" then, and the first reading after it is judged against the
// last one before it.
//
// What the board was last trusted at is remembered: its offset against the system clock
// (board - midpoint). A step ends when the board is back within max_step of that offset
// (a glitch: trusted again at once), or when it has held its new offset through consistent
// intervals for step_holdoff (a board that re-synchronised: believed, and said so). A board
// that missed a leap second is trusted again only once it is right, back within max_step
// (at most half a second) of its offset before the leap; no hold-off believes it. A board
// that recovers from another fault (stopped, rate error, out of range) at an offset beyond
// max_step of the trusted one has stepped too.
//
// Samples are fed only in state ok, reached after consistent_needed consistent intervals
// in a row (or as a step ends). Every change of state gives exactly one log line; staying
// in a state gives none. A stop rarely begins at a sample: the interval in which it begins
// shows a board that advanced too little, and the next one a board that did not advance.
// So the line of an interval in which the board advanced, but by less than the monotonic
// clock, waits for the next interval: dropped when that shows the board stopped, said then
// otherwise (samples stop at once either way). Likewise the first interval after a stop in
// which the board advances again is the restart itself: it leads to "recovering", not to a
// rate error or a step.
class HealthMonitor {
  public:
    explicit HealthMonitor(HealthLimits limits) : limits_(limits) {}

    // The log lines of changes of state (none, one, or a held-back one and a new one).
    // `leaps`: the announced leap seconds, nullptr for none.
    std::vector<std::string> update(const Reading &r, const LeapTable *leaps = nullptr);
    bool trusted() const { return state_ == Health::ok; }
    Health state() const { return state_; }
    // The board was reopened (SIGHUP): its next reading is judged against the last one
    // before, as any interval, and a step across it is said to be across the reload.
    void reopened() { reopened_ = true; }

  private:
    struct Interval;
    std::optional<std::string> judge(const Interval &iv);
    std::optional<std::string> judge_consistent(const Interval &iv);
    std::optional<std::string> enter(Health next, std::string line);
    std::optional<std::string> trust(const korvic::Offset &offset, std::string line);
    bool near_trusted(const korvic::Offset &offset) const;
    bool right_again(const korvic::Offset &offset) const;
    std::string right_again_line(const korvic::Offset &offset) const;
    std::string step_line(nanoseconds drift, bool across_reload) const;

    HealthLimits limits_;
    Health state_ = Health::starting;
    int consistent_ = 0;
    nanoseconds consistent_since_{0};  // monotonic time at which the consistent run began
    std::optional<Reading> last_;
    std::optional<std::string> pending_;
    // The offset of the last trusted reading (none before the first), and since when (on
    // the monotonic clock) a stepped board has held its new offset.
    std::optional<korvic::Offset> trusted_;
    std::optional<nanoseconds> held_since_;
    // The announced leap second the board did not follow, and its offset before it.
    std::optional<LeapSecond> missed_;
    korvic::Offset missed_from_;
    // The leap second whose window the readings are in, and the state before it.
    std::optional<LeapSecond> window_;
    Health before_window_ = Health::starting;
    bool reopened_ = false;
};

// ---------------------------------------------------------------------------------------
// From a burst of readings to a verdict.
// ---------------------------------------------------------------------------------------

enum class Verdict {
    feed,               // passed every check: goes to the outputs
    clock_stepped,      // no valid reading: the system clock stepped back inside each one
    wide_bracket,       // narrowest bracket wider than --max-bracket
    untrusted,          // the board is not in state ok, or a required status bit disagrees
    beyond_max_offset,  // |offset| larger than --max-offset
};

struct PipelineLimits {
    nanoseconds max_bracket{std::chrono::microseconds{200}};
    nanoseconds correction{0};              // --offset, added to board - midpoint
    std::optional<nanoseconds> max_offset;  // --max-offset
    HealthLimits health;
    std::vector<StatusRequirement> require_status;  // --require-status
};

struct Step {
    Verdict verdict = Verdict::feed;
    Reading reading;               // the narrowest valid one of the burst
    korvic::Offset offset;         // board - midpoint + correction, exact for any board time
    int leap = 0;                  // the SOCK and SHM leap field (leap_info() of the midpoint)
    std::vector<std::string> log;  // lines for changes of state (health, status, max offset)
    std::string detail;            // the -v line for this sample
};

// One burst at a time: the narrowest valid reading (none: the system clock stepped back
// inside each one), dropped when its bracket is too wide (a wide bracket says nothing
// reliable, so it does not reach the health checks either), else judged by the health
// monitor and by the status bits of --require-status, then by --max-offset (logged once
// when samples start and stop being refused). Every clock it knows of is in the readings:
// the system clock and CLOCK_MONOTONIC_RAW around each latch.
class Pipeline {
  public:
    explicit Pipeline(const PipelineLimits &limits) : limits_(limits), health_(limits.health) {}

    Step process(const korvic::BestReading &burst);
    // The leap second table (at start and at each SIGHUP that reads one): what the leap
    // field says and what the health monitor expects of the board.
    void set_leaps(std::optional<LeapTable> leaps);
    void reopened() { health_.reopened(); }

    // The health state shown: "status mismatch" while a required bit disagrees, unless the
    // board is out of range or at a leap second; else the monitor's.
    Health state() const;
    bool trusted() const { return health_.trusted() && !unmet_; }
    const HealthMonitor &health() const { return health_; }
    // The requirement that the last judged reading did not meet, and that reading's status
    // word (none before the first).
    const std::optional<StatusRequirement> &unmet() const { return unmet_; }
    std::optional<std::uint32_t> last_status() const { return last_status_; }
    // The leap field of the last reading (0 before the first, and without a table).
    int leap() const { return leap_; }

  private:
    PipelineLimits limits_;
    HealthMonitor health_;
    std::optional<LeapTable> leaps_;
    bool leaps_expired_ = false;  // said once
    bool refusing_offset_ = false;
    std::optional<StatusRequirement> unmet_;
    std::optional<std::uint32_t> last_status_;
    int leap_ = 0;
};

// ---------------------------------------------------------------------------------------
// The schedule of bursts.
// ---------------------------------------------------------------------------------------

// Absolute deadlines start + k * period on one clock: the schedule never drifts by the
// time a burst takes, and a burst that ends after later deadlines have passed skips them
// (the next deadline is the first one still ahead) instead of bunching bursts together.
class Schedule {
  public:
    Schedule(nanoseconds start, nanoseconds period) : start_(start), period_(period) {}
    nanoseconds deadline() const { return start_ + k_ * period_; }
    // After a burst that ended at `now`: the next deadline.
    nanoseconds advance(nanoseconds now);

  private:
    nanoseconds start_, period_;
    std::int64_t k_ = 0;
};

// ---------------------------------------------------------------------------------------
// Statistics for --stats.
// ---------------------------------------------------------------------------------------

// board_busy: the board lock was held elsewhere for the whole of --lock-wait;
// clock_stepped: the system clock stepped back inside every reading of the burst.
enum class Drop {
    wide_bracket,
    untrusted,
    beyond_max_offset,
    queue_full,
    chronyd_away,
    board_busy,
    clock_stepped,
};

// The drop that a verdict other than feed counts as.
Drop drop_of(Verdict v);

class Stats {
  public:
    void kept(const korvic::Offset &offset, nanoseconds bracket);
    void dropped(Drop why);
    // Readings of a burst left out because the system clock stepped back inside them
    // (korvic::BestReading::refused), whatever became of the burst.
    void refused(int readings) { refused_ += static_cast<std::uint64_t>(readings); }
    // "stats over 60.000000 s: kept 58, dropped 2 (bracket 1, untrusted 1, max offset 0,
    // queue full 0, chronyd away 0, board busy 0, clock stepped 0), readings refused 0;
    // offset mean +12.0 us sd 1.2 us rms 13.1 us max -20.0 us; bracket min 8.9 us median
    // 9.4 us max 15.0 us". `covered` is the time the counts were gathered in (since the last
    // line), which the line names. Offsets and brackets of kept samples only: sd is their
    // standard deviation about the mean (the jitter), rms their root mean square (sd^2 +
    // mean^2 = rms^2), max the one furthest from 0, with its sign.
    std::string line(nanoseconds covered) const;
    void reset() { *this = Stats{}; }
    std::uint64_t kept_count() const { return kept_; }
    std::uint64_t dropped_count() const;

  private:
    static constexpr std::size_t kMaxBrackets = std::size_t{1} << 20;

    std::uint64_t kept_ = 0;
    std::uint64_t drops_[7] = {};
    std::uint64_t refused_ = 0;
    // Welford's running mean and sum of squared deviations, in nanoseconds: exact enough for
    // a jitter of nanoseconds beside an offset of a day, where a sum of squares is not.
    double offset_mean_ = 0, offset_m2_ = 0;
    korvic::Offset offset_max_;
    nanoseconds bracket_min_{0}, bracket_max_{0};
    // The brackets for the median. Past kMaxBrackets in one interval, a uniform sample of
    // them (reservoir sampling with a fixed generator), so memory stays bounded.
    std::vector<std::int64_t> brackets_;
    std::uint64_t lcg_ = 0x2545F4914F6CDD1DULL;
};

// ---------------------------------------------------------------------------------------
// Wire formats.
// ---------------------------------------------------------------------------------------

// chrony's SOCK reference clock datagram, in the host's native layout.
struct SockSample {
    timeval tv;     // system time of the measurement
    double offset;  // true time minus tv, seconds
    int pulse;      // 0: a full time sample, not a bare pulse
    int leap;       // 0: none, 1: a second inserted, 2: deleted, at the end of the UTC day
    int pad;
    int magic;
};
inline constexpr int kSockMagic = 0x534f434b;
#if defined(__x86_64__)
static_assert(sizeof(SockSample) == 40, "chrony reads 40-byte SOCK samples on x86-64");
#endif

// tv: the reading's midpoint truncated to the microsecond; offset: the board time plus
// the correction, less that tv, exactly in nanoseconds before it becomes a double; leap:
// the leap second announced for the end of the UTC day (leap_info()), 0 by default.
SockSample encode_sock(const korvic::Sample &s, nanoseconds correction, int leap = 0);

// The NTP shared-memory segment of a reference clock (the layout ntpd and chrony share).
struct ShmTime {
    int mode;
    volatile int count;
    time_t clockTimeStampSec;
    int clockTimeStampUSec;
    time_t receiveTimeStampSec;
    int receiveTimeStampUSec;
    int leap;
    int precision;
    int nsamples;
    volatile int valid;
    int clockTimeStampNSec;
    int receiveTimeStampNSec;
    int dummy[8];
};
#if defined(__x86_64__)
static_assert(sizeof(ShmTime) == 96, "the NTP SHM segment is 96 bytes on x86-64");
#endif

inline constexpr key_t kShmKeyBase = 0x4e545030;  // "NTP0"
constexpr key_t shm_key(int unit) {
    return kShmKeyBase + unit;
}

// What one sample writes into the segment: the board time (plus the correction) as the
// clock stamp, the midpoint as the receive stamp, each in seconds, microseconds and
// nanoseconds (the microseconds the nanoseconds truncated, so a reader that checks they
// agree takes the nanoseconds); the precision from the bracket; the leap field as the
// SOCK sample's.
struct ShmRecord {
    time_t clock_sec;
    int clock_usec, clock_nsec;
    time_t receive_sec;
    int receive_usec, receive_nsec;
    int precision;
    int leap = 0;

    friend bool operator==(const ShmRecord &, const ShmRecord &) = default;
};
ShmRecord encode_shm(const korvic::Sample &s, nanoseconds correction, int leap = 0);

// log2 of a valid (not negative) bracket in seconds, rounded up (a 9 us bracket is
// 2^-16 s); -30 for a bracket of zero.
int precision_of(nanoseconds bracket);

// Writes one record with the mode 1 protocol: valid = 0, count++, fence, the fields,
// fence, count++, valid = 1. A reader that copies the record and finds count unchanged
// afterwards has a whole one.
void write_shm(ShmTime &shm, const ShmRecord &r);

// ---------------------------------------------------------------------------------------
// Text.
// ---------------------------------------------------------------------------------------

// "250.000 ms", "9.1 us", "1.500000 s", "120 ns"; with sign: "+250.000 ms", "-3.2 us".
std::string format_duration(nanoseconds d, bool sign = false);
// The same for any offset, however long: "-63950000000.123457 s" beyond 64-bit nanoseconds.
std::string format_duration(const korvic::Offset &d, bool sign = false);

}  // namespace korvicd
