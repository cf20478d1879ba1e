#include "core.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

namespace korvicd {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

nanoseconds abs_ns(nanoseconds d) {
    return d < nanoseconds{0} ? -d : d;
}

// A count of nanoseconds given as a double, to the nearest nanosecond, however large.
korvic::Offset offset_of(double ns) {
    const double s = std::floor(ns / 1e9);
    return korvic::Offset{seconds{static_cast<std::int64_t>(s)},
                          nanoseconds{std::llround(ns - s * 1e9)}};
}

std::string printf_string(const char *format, double value, const char *unit, bool sign) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    std::string s = buf;
    if (sign && value >= 0)
        s.insert(0, "+");
    return s + " " + unit;
}

}  // namespace

std::string format_duration(nanoseconds d, bool sign) {
    const double ns = static_cast<double>(d.count());
    const double mag = std::fabs(ns);
    if (mag < 1e3) {
        std::string s = std::to_string(d.count());
        if (sign && d.count() >= 0)
            s.insert(0, "+");
        return s + " ns";
    }
    if (mag < 1e6)
        return printf_string("%.1f", ns / 1e3, "us", sign);
    if (mag < 1e9)
        return printf_string("%.3f", ns / 1e6, "ms", sign);
    return printf_string("%.6f", ns / 1e9, "s", sign);
}

std::string format_duration(const korvic::Offset &d, bool sign) {
    if (const std::optional<nanoseconds> ns = d.as_nanoseconds())
        return format_duration(*ns, sign);
    // Beyond 64-bit nanoseconds (some 292 years): seconds to the microsecond, rounded.
    const korvic::Offset a = abs(d);
    std::int64_t s = a.seconds().count(), us = (a.subseconds().count() + 500) / 1000;
    if (us == 1'000'000) {
        ++s;
        us = 0;
    }
    char fraction[24];
    std::snprintf(fraction, sizeof fraction, "%06lld", static_cast<long long>(us));
    const char *head = d < korvic::Offset{} ? "-" : (sign ? "+" : "");
    return head + std::to_string(s) + "." + fraction + " s";
}

// ---------------------------------------------------------------------------------------
// Health.
// ---------------------------------------------------------------------------------------

std::string_view to_string(Health h) {
    switch (h) {
        case Health::starting:
            return "starting";
        case Health::ok:
            return "ok";
        case Health::stopped:
            return "stopped";
        case Health::stepped:
            return "stepped";
        case Health::rate:
            return "rate error";
        case Health::recovering:
            return "recovering";
        case Health::out_of_range:
            return "out of range";
        case Health::leap_second:
            return "leap second";
        case Health::missed_leap:
            return "missed leap second";
        case Health::status:
            return "status mismatch";
    }
    return "unknown";
}

// One interval, from the reading before to this one, as update() found it.
struct HealthMonitor::Interval {
    const Reading &prev;
    const Reading &r;
    Health fault;                    // ok for a consistent interval
    nanoseconds drift;               // board advance - monotonic advance - the leap seconds' shift
    nanoseconds mono_advance;        // the monotonic clock's advance
    std::optional<LeapSecond> leap;  // the announced leap second the board ran across
    bool across_reload;
};

std::optional<std::string> HealthMonitor::enter(Health next, std::string line) {
    if (next == state_)
        return std::nullopt;
    state_ = next;
    return line;
}

std::optional<std::string> HealthMonitor::trust(const korvic::Offset &offset, std::string line) {
    trusted_ = offset;
    held_since_.reset();
    missed_.reset();
    consistent_ = 0;
    return enter(Health::ok, std::move(line));
}

bool HealthMonitor::near_trusted(const korvic::Offset &offset) const {
    return trusted_ && abs(offset - *trusted_) <= korvic::Offset{limits_.max_step};
}

bool HealthMonitor::right_again(const korvic::Offset &offset) const {
    // Within a step, and within half a second: never the second it missed.
    return abs(offset - missed_from_) <=
           korvic::Offset{std::min<nanoseconds>(limits_.max_step, milliseconds{500})};
}

std::string HealthMonitor::right_again_line(const korvic::Offset &offset) const {
    return "board time right again after it missed " + describe_leap(*missed_) + " (" +
           format_duration(offset, true) + " against the system clock); feeding samples";
}

std::string HealthMonitor::step_line(nanoseconds drift, bool across_reload) const {
    return "board time stepped by " + format_duration(drift, true) +
           (across_reload ? " across the reload" : "") + " against the system clock (limit " +
           format_duration(limits_.max_step) + "); feeding nothing until it " +
           (trusted_ ? "is back within " + format_duration(limits_.max_step) +
                           " of its last trusted offset or has held the new one"
                     : "has held its new offset") +
           " for " + format_duration(limits_.step_holdoff);
}

std::vector<std::string> HealthMonitor::update(const Reading &r, const LeapTable *leaps) {
    std::vector<std::string> lines;
    const bool across_reload = std::exchange(reopened_, false);
    const auto flush_pending = [&] {
        if (pending_)
            lines.push_back(*pending_);
        pending_.reset();
    };
    const auto board = [&r] { return korvic::format_time(r.sample.board); };
    if (r.sample.board < korvic::kFirstBoardTime || r.sample.board > korvic::kLastBoardTime) {
        // No interval is judged across it: its advance may be anything.
        flush_pending();
        last_.reset();
        consistent_ = 0;
        held_since_.reset();
        window_.reset();
        if (state_ != Health::out_of_range)
            lines.push_back(
                *enter(Health::out_of_range,
                       "board time " + board() + " outside 1970 to 2099; feeding nothing"));
        return lines;
    }
    if (state_ == Health::out_of_range) {
        last_ = r;
        lines.push_back(
            *enter(Health::recovering,
                   "board time " + board() + " within 1970 to 2099 again; feeding after " +
                       std::to_string(limits_.consistent_needed) + " consistent samples"));
        return lines;
    }
    // Within 1 s of an announced leap second, by the system clock or by the board's, no
    // interval is judged: the next one spans the window.
    std::optional<LeapSecond> near;
    if (leaps != nullptr) {
        near = leap_near(*leaps, r.sample.midpoint());
        if (!near)
            near = leap_near(*leaps, r.sample.board);
    }
    if (near) {
        if (state_ != Health::leap_second) {
            flush_pending();
            before_window_ = state_;
            window_ = near;
            lines.push_back(*enter(Health::leap_second,
                                   "within 1 s of " + describe_leap(*near) + ": feeding nothing"));
        }
        return lines;
    }
    std::optional<LeapSecond> left;  // the window this reading is the first after
    if (state_ == Health::leap_second) {
        left = window_;
        window_.reset();
        state_ = before_window_;
    }
    if (!last_) {
        last_ = r;
        if (left)
            lines.push_back("past " + describe_leap(*left) + "; board " +
                            std::string(to_string(state_)));
        return lines;
    }
    const Reading prev = *last_;
    last_ = r;

    // A board that follows an inserted leap second advances by one second less than the
    // monotonic clock across it, one more across a deleted one.
    nanoseconds leap_shift{0};
    std::optional<LeapSecond> crossed;
    if (leaps != nullptr) {
        for (const LeapSecond &l : leaps_between(*leaps, prev.sample.board, r.sample.board)) {
            leap_shift += l.kind == LeapKind::insert ? -seconds{1} : seconds{1};
            crossed = l;
        }
    }
    const nanoseconds board_advance = r.sample.board - prev.sample.board;
    const nanoseconds mono_advance = r.mono_mid() - prev.mono_mid();
    const nanoseconds ran_on = board_advance - mono_advance;  // as if there were no leap
    const nanoseconds drift = ran_on - leap_shift;
    const nanoseconds tolerance =
        nanoseconds{
            std::llround(limits_.max_rate_ppm * 1e-6 * static_cast<double>(mono_advance.count()))} +
        (prev.mono_bracket() + r.mono_bracket()) / 2 + microseconds{1};

    Health fault = Health::ok;
    if (board_advance == nanoseconds{0})
        fault = Health::stopped;
    else if (crossed && abs_ns(ran_on) < abs_ns(drift) && abs_ns(ran_on) <= limits_.max_step)
        fault = Health::missed_leap;  // nearer to a board that ignored it than to one that followed
    else if (abs_ns(drift) > limits_.max_step)
        fault = Health::stepped;
    else if (abs_ns(drift) > tolerance)
        fault = Health::rate;

    // A line held back from the interval before is dropped when this one shows the board
    // stopped (that slow interval was the stop beginning), and said now otherwise.
    if (pending_ && fault != Health::stopped)
        lines.push_back(*pending_);
    pending_.reset();
    std::optional<std::string> line =
        judge(Interval{prev, r, fault, drift, mono_advance, crossed, across_reload});
    if (left) {
        // The first reading after a leap second's window: one line for how the board came
        // out of it.
        if (!line)
            line = (crossed ? "board followed " : "past ") + describe_leap(*left) +
                   (trusted() ? "; feeding samples" : "; board " + std::string(to_string(state_)));
        else if (fault != Health::missed_leap)
            line = "past " + describe_leap(*left) + ": " + *line;
        lines.push_back(*line);
        return lines;
    }
    if (line) {
        // A board that advanced, but by less than the monotonic clock, may have stopped
        // within the interval: its line waits for the next interval to tell.
        const bool may_be_stopping = (fault == Health::rate || fault == Health::stepped) &&
                                     board_advance > nanoseconds{0} &&
                                     board_advance - leap_shift < mono_advance;
        if (may_be_stopping)
            pending_ = line;
        else
            lines.push_back(*line);
    }
    return lines;
}

std::optional<std::string> HealthMonitor::judge(const Interval &iv) {
    const korvic::Offset offset = iv.r.sample.offset();
    const std::string needed = std::to_string(limits_.consistent_needed);
    if (iv.fault == Health::ok || iv.fault == Health::stepped) {
        // Back at the offset it was trusted at: the step was a glitch.
        if (state_ == Health::stepped && near_trusted(offset))
            return trust(offset, "board time back within " + format_duration(limits_.max_step) +
                                     " of its last trusted offset (" +
                                     format_duration(offset, true) +
                                     " against the system clock): a glitch; feeding samples");
        // Right again after a leap second it missed: back at its offset from before it.
        if (state_ == Health::missed_leap && right_again(offset))
            return trust(offset, right_again_line(offset));
    }
    if (iv.fault == Health::ok)
        return judge_consistent(iv);

    consistent_ = 0;
    held_since_.reset();
    if (state_ == Health::stopped && iv.fault != Health::stopped)
        return enter(Health::recovering,
                     "board time advances again; feeding after " + needed + " consistent samples");
    switch (iv.fault) {
        case Health::stopped:
            return enter(Health::stopped, "board stopped: its time did not advance in " +
                                              format_duration(iv.mono_advance) +
                                              "; feeding nothing");
        case Health::missed_leap:
            missed_ = iv.leap;
            missed_from_ = iv.prev.sample.offset();
            return enter(Health::missed_leap,
                         "board missed " + describe_leap(*iv.leap) + ": " +
                             format_duration(iv.drift, true) +
                             " against a board that follows it; feeding nothing until it is "
                             "right again");
        case Health::stepped:
            // Stepped again while held: said, and the hold begins anew. While off by a
            // leap second it missed, it stays so until it is right.
            if (state_ == Health::stepped)
                return "board time stepped again, by " + format_duration(iv.drift, true) +
                       ", while holding its new offset; its hold begins again";
            if (state_ == Health::missed_leap)
                return std::nullopt;
            return enter(Health::stepped, step_line(iv.drift, iv.across_reload));
        default: {
            const double ppm =
                static_cast<double>(iv.drift.count()) /
                static_cast<double>(std::max<std::int64_t>(iv.mono_advance.count(), 1)) * 1e6;
            char rate[96];
            std::snprintf(rate, sizeof rate, "%+.0f ppm, limit %.0f ppm", ppm,
                          limits_.max_rate_ppm);
            return enter(Health::rate, "board time moved " + format_duration(iv.drift, true) +
                                           " against the system clock in " +
                                           format_duration(iv.mono_advance) + " (" + rate +
                                           "); feeding nothing");
        }
    }
}

std::optional<std::string> HealthMonitor::judge_consistent(const Interval &iv) {
    const korvic::Offset offset = iv.r.sample.offset();
    const std::string needed = std::to_string(limits_.consistent_needed);
    const auto held_line = [&](nanoseconds held) {
        return "board time held its new offset (" + format_duration(offset, true) +
               " against the system clock) for " + format_duration(held) +
               ", the --step-holdoff: believing it; feeding samples";
    };
    switch (state_) {
        case Health::ok:
            trusted_ = offset;
            return std::nullopt;
        case Health::stepped: {
            // Held from the first reading at the new offset.
            if (!held_since_)
                held_since_ = iv.prev.mono_mid();
            const nanoseconds held = iv.r.mono_mid() - *held_since_;
            if (held < limits_.step_holdoff)
                return std::nullopt;
            return trust(offset, held_line(held));
        }
        case Health::missed_leap:
            return std::nullopt;  // no hold-off believes it
        default:
            break;
    }
    std::optional<std::string> line;
    if (state_ == Health::stopped)
        line = enter(Health::recovering,
                     "board time advances again; feeding after " + needed + " consistent samples");
    if (consistent_ == 0)
        consistent_since_ = iv.prev.mono_mid();
    if (++consistent_ < limits_.consistent_needed)
        return line;
    consistent_ = 0;
    // Consistent again, but where? Still off by a leap second it missed, or at an offset a
    // step away from the trusted one (a stop, a rate error or a reset has moved it).
    if (missed_) {
        if (right_again(offset))
            return trust(offset, right_again_line(offset));
        return enter(Health::missed_leap, "board time consistent again, but still off by " +
                                              describe_leap(*missed_) +
                                              " that it missed; feeding nothing until it is "
                                              "right again");
    }
    if (trusted_ && !near_trusted(offset)) {
        const nanoseconds held = iv.r.mono_mid() - consistent_since_;
        if (held >= limits_.step_holdoff)
            return trust(offset, held_line(held));
        held_since_ = consistent_since_;
        return enter(Health::stepped, "board time consistent again " +
                                          format_duration(offset - *trusted_, true) +
                                          " from its last trusted offset (limit " +
                                          format_duration(limits_.max_step) +
                                          "); feeding nothing until it is back or has held it "
                                          "for " +
                                          format_duration(limits_.step_holdoff));
    }
    const bool first = state_ == Health::starting;
    return trust(
        offset,
        first ? "board time consistent over " + needed + " intervals; feeding samples"
              : "board sane again after " + needed + " consistent intervals; feeding samples");
}

// ---------------------------------------------------------------------------------------
// Pipeline.
// ---------------------------------------------------------------------------------------

Drop drop_of(Verdict v) {
    switch (v) {
        case Verdict::clock_stepped:
            return Drop::clock_stepped;
        case Verdict::wide_bracket:
            return Drop::wide_bracket;
        case Verdict::beyond_max_offset:
            return Drop::beyond_max_offset;
        default:
            return Drop::untrusted;
    }
}

void Pipeline::set_leaps(std::optional<LeapTable> leaps) {
    leaps_ = std::move(leaps);
    leaps_expired_ = false;
}

Health Pipeline::state() const {
    const Health h = health_.state();
    if (unmet_ && h != Health::out_of_range && h != Health::leap_second)
        return Health::status;
    return h;
}

Step Pipeline::process(const korvic::BestReading &burst) {
    Step st;
    st.leap = leap_;
    if (!burst.best) {
        st.verdict = Verdict::clock_stepped;
        st.detail = "sample: dropped, the system clock stepped back inside each of " +
                    std::to_string(burst.refused) + " readings";
        return st;
    }
    st.reading = *burst.best;
    st.offset = st.reading.sample.offset() + korvic::Offset{limits_.correction};
    // The leap second that the table announces for the end of this UTC day.
    if (leaps_) {
        const LeapInfo info = leap_info(*leaps_, st.reading.sample.midpoint());
        st.leap = leap_ = info.leap;
        if (info.expired && !leaps_expired_)
            st.log.emplace_back(
                "leap second table expired: leap seconds announced since are not known");
        leaps_expired_ = info.expired;
    }
    const std::string refused = burst.refused == 0 ? ""
                                                   : " (" + std::to_string(burst.refused) +
                                                         " of the burst refused: the "
                                                         "system clock stepped back)";
    const std::string head = "sample: board " + korvic::format_time(st.reading.sample.board) +
                             " offset " + format_duration(st.offset, true) + " bracket " +
                             format_duration(st.reading.bracket()) + refused + ": ";

    if (st.reading.bracket() > limits_.max_bracket) {
        st.verdict = Verdict::wide_bracket;
        st.detail = head + "dropped, bracket wider than " + format_duration(limits_.max_bracket);
        return st;
    }
    for (std::string &line : health_.update(st.reading, leaps_ ? &*leaps_ : nullptr))
        st.log.push_back(std::move(line));
    // The status bits latched with this reading, against --require-status.
    last_status_ = st.reading.sample.status;
    const std::optional<StatusRequirement> missing =
        unmet_status(st.reading.sample.status, limits_.require_status);
    if (missing && missing != unmet_) {
        st.log.push_back(describe_unmet(*missing) + "; feeding nothing");
    } else if (!missing && unmet_) {
        const std::string bit = std::to_string(unmet_->bit), want = unmet_->value ? "1" : "0";
        st.log.push_back("status bit " + bit + " reads " + want + " again (--require-status " +
                         bit + "=" + want + "); " +
                         (health_.trusted() ? "feeding samples"
                                            : "board " + std::string(to_string(health_.state()))));
    }
    unmet_ = missing;
    if (!trusted()) {
        st.verdict = Verdict::untrusted;
        std::string why = unmet_ ? describe_unmet(*unmet_) : "";
        if (!health_.trusted())
            why += (why.empty() ? "board " : ", board ") + std::string(to_string(health_.state()));
        st.detail = head + "dropped, " + why;
        return st;
    }
    if (limits_.max_offset && abs(st.offset) > korvic::Offset{*limits_.max_offset}) {
        st.verdict = Verdict::beyond_max_offset;
        st.detail = head + "dropped, beyond --max-offset " + format_duration(*limits_.max_offset);
        if (!refusing_offset_)
            st.log.push_back("offset " + format_duration(st.offset, true) +
                             " beyond --max-offset " + format_duration(*limits_.max_offset) +
                             ": refusing samples");
        refusing_offset_ = true;
        return st;
    }
    if (refusing_offset_)
        st.log.push_back("offset " + format_duration(st.offset, true) +
                         " within --max-offset again: feeding samples");
    refusing_offset_ = false;
    st.verdict = Verdict::feed;
    st.detail = head + "fed";
    return st;
}

// ---------------------------------------------------------------------------------------
// Schedule.
// ---------------------------------------------------------------------------------------

nanoseconds Schedule::advance(nanoseconds now) {
    ++k_;
    if (deadline() <= now)
        k_ = (now - start_) / period_ + 1;
    return deadline();
}

// ---------------------------------------------------------------------------------------
// Statistics.
// ---------------------------------------------------------------------------------------

void Stats::kept(const korvic::Offset &offset, nanoseconds bracket) {
    const double o = offset.to_seconds() * 1e9;
    const double delta = o - offset_mean_;
    offset_mean_ += delta / static_cast<double>(kept_ + 1);
    offset_m2_ += delta * (o - offset_mean_);
    if (kept_ == 0 || abs(offset) > abs(offset_max_))
        offset_max_ = offset;
    if (kept_ == 0 || bracket < bracket_min_)
        bracket_min_ = bracket;
    if (kept_ == 0 || bracket > bracket_max_)
        bracket_max_ = bracket;
    ++kept_;
    if (brackets_.size() < kMaxBrackets) {
        brackets_.push_back(bracket.count());
    } else {
        lcg_ = lcg_ * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::uint64_t slot = (lcg_ >> 11) % kept_;
        if (slot < kMaxBrackets)
            brackets_[slot] = bracket.count();
    }
}

void Stats::dropped(Drop why) {
    ++drops_[static_cast<int>(why)];
}

std::uint64_t Stats::dropped_count() const {
    return std::accumulate(std::begin(drops_), std::end(drops_), std::uint64_t{0});
}

std::string Stats::line(nanoseconds covered) const {
    std::string s = "stats over " + format_duration(covered) + ": kept " + std::to_string(kept_) +
                    ", dropped " + std::to_string(dropped_count()) + " (bracket " +
                    std::to_string(drops_[0]) + ", untrusted " + std::to_string(drops_[1]) +
                    ", max offset " + std::to_string(drops_[2]) + ", queue full " +
                    std::to_string(drops_[3]) + ", chronyd away " + std::to_string(drops_[4]) +
                    ", board busy " + std::to_string(drops_[5]) + ", clock stepped " +
                    std::to_string(drops_[6]) + "), readings refused " + std::to_string(refused_);
    if (kept_ == 0)
        return s;
    const double variance = offset_m2_ / static_cast<double>(kept_);
    const korvic::Offset mean = offset_of(offset_mean_);
    const korvic::Offset sd = offset_of(std::sqrt(variance));
    const korvic::Offset rms = offset_of(std::sqrt(variance + offset_mean_ * offset_mean_));
    std::vector<std::int64_t> b = brackets_;
    const auto mid = b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2);
    std::nth_element(b.begin(), mid, b.end());
    s += "; offset mean " + format_duration(mean, true) + " sd " + format_duration(sd) + " rms " +
         format_duration(rms) + " max " + format_duration(offset_max_, true) + "; bracket min " +
         format_duration(bracket_min_) + " median " + format_duration(nanoseconds{*mid}) + " max " +
         format_duration(bracket_max_);
    return s;
}

// ---------------------------------------------------------------------------------------
// Wire formats.
// ---------------------------------------------------------------------------------------

SockSample encode_sock(const korvic::Sample &s, nanoseconds correction, int leap) {
    const std::int64_t mid = s.midpoint().time_since_epoch().count();
    const std::int64_t sec = floor_div(mid, 1'000'000'000);
    const std::int64_t usec = (mid - sec * 1'000'000'000) / 1000;
    const korvic::system_time tv{seconds{sec} + microseconds{usec}};
    SockSample out{};
    out.tv.tv_sec = static_cast<time_t>(sec);
    out.tv.tv_usec = static_cast<suseconds_t>(usec);
    out.offset = (korvic::Offset::between(s.board, tv) + korvic::Offset{correction}).to_seconds();
    out.pulse = 0;
    out.leap = leap;
    out.magic = kSockMagic;
    return out;
}

int precision_of(nanoseconds bracket) {
    if (bracket <= nanoseconds{0})
        return -30;
    const int p =
        static_cast<int>(std::ceil(std::log2(static_cast<double>(bracket.count()) * 1e-9)));
    return std::max(p, -30);
}

ShmRecord encode_shm(const korvic::Sample &s, nanoseconds correction, int leap) {
    // The board's time from 1970 in seconds and nanoseconds, whatever its year.
    const korvic::Offset clock =
        korvic::Offset::between(s.board, korvic::system_time{}) + korvic::Offset{correction};
    const std::int64_t receive = s.midpoint().time_since_epoch().count();
    ShmRecord r{};
    const std::int64_t rs = floor_div(receive, 1'000'000'000);
    r.clock_sec = static_cast<time_t>(clock.seconds().count());
    r.clock_nsec = static_cast<int>(clock.subseconds().count());
    r.clock_usec = r.clock_nsec / 1000;
    r.receive_sec = static_cast<time_t>(rs);
    r.receive_nsec = static_cast<int>(receive - rs * 1'000'000'000);
    r.receive_usec = r.receive_nsec / 1000;
    r.precision = precision_of(s.uncertainty());
    r.leap = leap;
    return r;
}

void write_shm(ShmTime &shm, const ShmRecord &r) {
    shm.valid = 0;
    shm.count = shm.count + 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    shm.mode = 1;
    shm.clockTimeStampSec = r.clock_sec;
    shm.clockTimeStampUSec = r.clock_usec;
    shm.clockTimeStampNSec = r.clock_nsec;
    shm.receiveTimeStampSec = r.receive_sec;
    shm.receiveTimeStampUSec = r.receive_usec;
    shm.receiveTimeStampNSec = r.receive_nsec;
    shm.leap = r.leap;
    shm.precision = r.precision;
    shm.nsamples = 0;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    shm.count = shm.count + 1;
    shm.valid = 1;
}

}  // namespace korvicd
