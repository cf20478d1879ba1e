#include "settings.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "korvic/board.hpp"
#include "quoting.h"

namespace korvic::sim {
namespace {

template <typename T>
std::optional<T> refuse(std::string *why, std::string reason) {
    if (why != nullptr)
        *why = std::move(reason);
    return std::nullopt;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The run of decimal digits at the front of s, taken off s.
std::string_view take_digits(std::string_view &s) {
    std::size_t n = 0;
    while (n < s.size() && is_digit(s[n]))
        ++n;
    const std::string_view digits = s.substr(0, n);
    s.remove_prefix(n);
    return digits;
}

// The value of a run of digits, or nothing when there are none or it exceeds 64 bits.
std::optional<std::int64_t> value_of(std::string_view digits) {
    if (digits.empty())
        return std::nullopt;
    std::int64_t v = 0;
    const bool overflow = std::any_of(digits.begin(), digits.end(), [&v](char c) {
        return __builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v);
    });
    if (overflow)
        return std::nullopt;
    return v;
}

bool take(std::string_view &s, char c) {
    if (s.empty() || s.front() != c)
        return false;
    s.remove_prefix(1);
    return true;
}

constexpr const char *kTimeForms =
    "not a time: YYYY-MM-DDThh:mm:ss[.ffffff][Z] (a blank for the T allowed), YYYY+DDDd "
    "hh:mm:ss[.ffffff] (the board's day of the year, from 0) or @SECONDS[.ffffff]";

// What the library's parser said of `text` after "korvic: WHAT \"TEXT\": ", the part an
// option's message does not say already.
std::string library_reason(const char *what, std::string_view text, std::string_view message) {
    const std::string prefix = std::string("korvic: ") + what + " " + detail::quote(text) + ": ";
    if (message.starts_with(prefix))
        message.remove_prefix(prefix.size());
    return std::string(message);
}

// korvic::parse_time, as microseconds; for a text it refuses, its reason, with the
// simulator's own list of forms for a text that is no time at all.
std::optional<std::int64_t> library_time(std::string_view text, std::string *why) {
    try {
        return korvic::parse_time(text).time_since_epoch().count();
    } catch (const std::invalid_argument &e) {
        const std::string reason = library_reason("time", text, e.what());
        return refuse<std::int64_t>(why, reason.starts_with("not a time") ? kTimeForms : reason);
    }
}

// Day `day` of `year` counted from `first` as a calendar date, or empty when there is none.
std::string date_of(std::int64_t year, std::int64_t day, std::int64_t first) {
    const std::int64_t yday = day - first;
    if (yday < 0 || yday >= days_in_year(year))
        return {};
    const korvic::utc_time t{std::chrono::microseconds{(days_to_year(year) + yday) * kUsPerDay}};
    return korvic::format_time(t).substr(0, 10);
}

// Why "YYYY-DDD" cannot be taken: ISO 8601 counts the days of a year from 001, the board
// from 000, and a start time one day off would be a wrong time.
std::string ambiguity(std::string_view year_digits, std::string_view day_digits) {
    const std::int64_t year = *value_of(year_digits), day = *value_of(day_digits);
    const std::string iso = date_of(year, day, 1), board = date_of(year, day, 0);
    const std::string dd(day_digits);
    if (iso.empty() && board.empty())
        return std::string(year_digits) + " has no day " + dd + " (" +
               std::to_string(days_in_year(year)) + " days: ISO 8601 numbers them from 001, " +
               "the board from 000)";
    std::string s = std::string(year_digits) + "-" + dd + " is ambiguous: ";
    s += iso.empty() ? "ISO 8601 has no day " + dd : "ISO 8601 day " + dd + " is " + iso;
    s += board.empty() ? ", the board (from 000) has no day " + dd
                       : ", the board's day " + dd + " (from 000) is " + board;
    s += "; write the calendar date (" +
         (iso.empty() || board.empty() ? iso + board : iso + " or " + board) + ")";
    if (!board.empty())
        s += " or the board's day as " + std::string(year_digits) + "+" + std::to_string(day) + "d";
    return s;
}

// The first instant the board cannot start at: 1 January of the year after the last.
constexpr std::int64_t kEndOfStartYears = days_to_year(kLastStartYear + 1) * kUsPerDay;

// ---------------------------------------------------------------------------------------
// Signals. One table: every signal by its name, and whether the external event request
// may use it; when not, why.
// ---------------------------------------------------------------------------------------

struct SignalInfo {
    const char *name;     // without "SIG"
    int number;           //
    const char *refusal;  // nullptr: usable
};

constexpr const char *kFault = "a fault signal: a handler that returns repeats the fault";
constexpr const char *kJobControl = "used for job control";

constexpr SignalInfo kSignals[] = {
    {"HUP", SIGHUP, "used by the launcher (passed on to the console)"},
    {"INT", SIGINT, "used by the console (Ctrl-C)"},
    {"QUIT", SIGQUIT, "used by the terminal (Ctrl-\\)"},
    {"ILL", SIGILL, kFault},
    {"TRAP", SIGTRAP, "used by the simulator's trap engine"},
    {"ABRT", SIGABRT, "sent by abort()"},
    {"IOT", SIGIOT, "sent by abort()"},
    {"BUS", SIGBUS, kFault},
    {"FPE", SIGFPE, kFault},
    {"KILL", SIGKILL, "cannot be caught"},
    {"USR1", SIGUSR1, nullptr},
    {"SEGV", SIGSEGV, "used by the simulator's trap engine"},
    {"USR2", SIGUSR2, nullptr},
    {"PIPE", SIGPIPE, "sent on a write to a closed pipe"},
    {"ALRM", SIGALRM, nullptr},
    {"TERM", SIGTERM,
     "used by the launcher (passed on to the console, and sent to it when "
     "the launcher dies)"},
    {"STKFLT", SIGSTKFLT, "not used on this platform"},
    {"CHLD", SIGCHLD, kJobControl},
    {"CONT", SIGCONT, kJobControl},
    {"STOP", SIGSTOP, "cannot be caught"},
    {"TSTP", SIGTSTP, kJobControl},
    {"TTIN", SIGTTIN, kJobControl},
    {"TTOU", SIGTTOU, kJobControl},
    {"URG", SIGURG, nullptr},
    {"XCPU", SIGXCPU, "sent for a resource limit"},
    {"XFSZ", SIGXFSZ, "sent for a resource limit"},
    {"VTALRM", SIGVTALRM, nullptr},
    {"PROF", SIGPROF, "used by profilers"},
    {"WINCH", SIGWINCH, nullptr},
    {"IO", SIGIO, nullptr},
    {"POLL", SIGPOLL, nullptr},
    {"PWR", SIGPWR, nullptr},
    {"SYS", SIGSYS, kFault},
};

std::string upper(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Why `sig` cannot request events, or nullptr when it can.
// The signal's row, or nullptr.
const SignalInfo *signal_info(int sig) {
    const auto *it = std::find_if(std::begin(kSignals), std::end(kSignals),
                                  [sig](const SignalInfo &s) { return s.number == sig; });
    return it != std::end(kSignals) ? it : nullptr;
}

const char *signal_refusal(int sig) {
    if (const SignalInfo *info = signal_info(sig))
        return info->refusal;
    if (sig >= SIGRTMIN && sig <= SIGRTMAX)
        return nullptr;
    if (sig > 0 && sig < SIGRTMIN)
        return "reserved by the C library";
    return "no such signal";
}

// "RTMIN", "RTMIN+n", "RTMAX", "RTMAX-n" (upper case, without "SIG"); 0 when not that form.
int real_time_signal(std::string_view s) {
    const bool min = s.substr(0, 5) == "RTMIN", max = s.substr(0, 5) == "RTMAX";
    if (!min && !max)
        return 0;
    s.remove_prefix(5);
    if (s.empty())
        return min ? SIGRTMIN : SIGRTMAX;
    if (!take(s, min ? '+' : '-'))
        return 0;
    const std::string_view digits = take_digits(s);
    const auto n = digits.size() <= 3 ? value_of(digits) : std::nullopt;
    if (!n || !s.empty() || *n > SIGRTMAX - SIGRTMIN)
        return -1;
    return static_cast<int>(min ? SIGRTMIN + *n : SIGRTMAX - *n);
}

// ---------------------------------------------------------------------------------------
// The settings, one row per variable: the run's, then each board's.
// ---------------------------------------------------------------------------------------

std::string bound_text(std::int64_t us) {
    return us == kUsPerDay ? "24h" : std::to_string(us) + "us";
}

bool set_clock(std::string_view v, SimSettings *s, std::string *why) {
    if (v != "real" && v != "virtual") {
        if (why != nullptr)
            *why = "neither real nor virtual";
        return false;
    }
    s->virtual_clock = v == "virtual";
    return true;
}

bool set_trace(std::string_view v, SimSettings *s, std::string *) {
    s->trace_path = v;
    return true;
}

bool set_trace_tsv(std::string_view v, SimSettings *s, std::string *) {
    s->trace_tsv_path = v;
    return true;
}

bool set_boards(std::string_view v, SimSettings *s, std::string *why) {
    std::string_view rest = v;
    const std::string_view digits = take_digits(rest);
    const auto n = digits.size() <= 3 && rest.empty() ? value_of(digits) : std::nullopt;
    if (!n || *n < 1 || *n > kMaxBoards) {
        if (why != nullptr)
            *why = "not a number of boards from 1 to " + std::to_string(kMaxBoards);
        return false;
    }
    s->boards.clear();
    for (int k = 1; k <= *n; ++k)
        s->boards.push_back(BoardSettings::defaults(k));
    return true;
}

bool set_mem_path(std::string_view v, BoardSettings *b, std::string *why) {
    if (!check_device_path(v, why))
        return false;
    b->mem_path = v;
    return true;
}

bool set_int_path(std::string_view v, BoardSettings *b, std::string *why) {
    if (!check_device_path(v, why))
        return false;
    b->int_path = v;
    return true;
}

bool set_start(std::string_view v, BoardSettings *b, std::string *why) {
    b->start_us = parse_time(v, why);
    return b->start_us.has_value();
}

bool set_step(std::string_view v, BoardSettings *b, std::string *why) {
    const auto d = parse_duration_us(v, Sign::Refused, why);
    if (!d)
        return false;
    if (*d > kMaxStepUs) {
        if (why != nullptr)
            *why = "more than " + bound_text(kMaxStepUs) + " per register access";
        return false;
    }
    b->step_us = *d;
    return true;
}

bool set_offset(std::string_view v, BoardSettings *b, std::string *why) {
    b->offset_us = parse_duration_us(v, Sign::Allowed, why);
    return b->offset_us.has_value();
}

bool set_drift(std::string_view v, BoardSettings *b, std::string *why) {
    const auto d = parse_drift(v, why);
    if (d)
        b->drift_ppb = *d;
    return d.has_value();
}

// A comma-separated list of moments, each added to the board's list (`List`) in order of
// moment, a later one of the same moment after the earlier.
template <typename T>
struct MomentList;
template <>
struct MomentList<ClockEvent> {
    static constexpr std::vector<ClockEvent> BoardSettings::*list = &BoardSettings::events;
    static constexpr std::size_t most = kMaxClockEvents;
    static constexpr const char *what = "stand-stills and jumps";
};
template <>
struct MomentList<StatusFault> {
    static constexpr std::vector<StatusFault> BoardSettings::*list = &BoardSettings::status_faults;
    static constexpr std::size_t most = kMaxStatusFaults;
    static constexpr const char *what = "status faults";
};

template <typename T, std::optional<T> (*Parse)(std::string_view, std::string *)>
bool add_moments(std::string_view v, BoardSettings *b, std::string *why) {
    using List = MomentList<T>;
    std::vector<T> &list = b->*List::list;
    for (;;) {
        const std::size_t comma = v.find(',');
        const auto e = Parse(v.substr(0, comma), why);
        if (!e)
            return false;
        if (list.size() >= List::most) {
            if (why != nullptr)
                *why =
                    "more than " + std::to_string(List::most) + " " + List::what + " for one board";
            return false;
        }
        list.insert(std::upper_bound(list.begin(), list.end(), *e,
                                     [](const T &x, const T &y) { return x.at_us < y.at_us; }),
                    *e);
        if (comma == std::string_view::npos)
            return true;
        v.remove_prefix(comma + 1);
    }
}

bool set_leap(std::string_view v, BoardSettings *b, std::string *why) {
    b->leap = parse_leap_at(v, why);
    return b->leap.has_value();
}

bool set_bus_order(std::string_view v, BoardSettings *b, std::string *why) {
    const auto o = parse_bus_order(v, why);
    if (o)
        b->bus_order = *o;
    return o.has_value();
}

bool set_period(std::string_view v, BoardSettings *b, std::string *why) {
    const auto d = parse_duration_us(v, Sign::Refused, why);
    if (!d)
        return false;
    if (*d == 0 || *d > kMaxPeriodUs) {
        if (why != nullptr)
            *why = *d == 0 ? "a period of 0" : "longer than " + bound_text(kMaxPeriodUs);
        return false;
    }
    b->external_event_period_us = *d;
    return true;
}

bool set_signal(std::string_view v, BoardSettings *b, std::string *why) {
    b->external_event_signal = parse_signal(v, why);
    return b->external_event_signal != 0;
}

struct RunRow {
    const char *name;
    bool (*apply)(std::string_view, SimSettings *, std::string *);
};

// KORVIC_SIM_BOARDS first: it makes the boards that the other rows set.
constexpr RunRow kRunRows[] = {
    {kEnvBoards, &set_boards},
    {kEnvClock, &set_clock},
    {kEnvTrace, &set_trace},
    {kEnvTraceTsv, &set_trace_tsv},
};

struct BoardRow {
    const char *name;
    bool (*apply)(std::string_view, BoardSettings *, std::string *);
};

constexpr BoardRow kBoardRows[] = {
    {kEnvMemPath, &set_mem_path},
    {kEnvIntPath, &set_int_path},
    {kEnvStart, &set_start},
    {kEnvStep, &set_step},
    {kEnvOffset, &set_offset},
    {kEnvDrift, &set_drift},
    {kEnvStopAt, &add_moments<ClockEvent, parse_stop_at>},
    {kEnvJumpAt, &add_moments<ClockEvent, parse_jump_at>},
    {kEnvStatusAt, &add_moments<StatusFault, parse_status_at>},
    {kEnvLeapAt, &set_leap},
    {kEnvBusOrder, &set_bus_order},
    {kEnvExtPeriod, &set_period},
    {kEnvExtSignal, &set_signal},
};

// A duration as the options write it, in the largest unit that keeps it whole.
std::string duration_text(std::int64_t us) {
    if (us % kUsPerSecond == 0)
        return std::to_string(us / kUsPerSecond) + "s";
    if (us % kUsPerMs == 0)
        return std::to_string(us / kUsPerMs) + "ms";
    return std::to_string(us) + "us";
}

// A stand-still as --stop-at takes it, for messages.
std::string stop_text(const ClockEvent &e) {
    const std::string at = duration_text(e.at_us);
    return e.value_us == kForever ? at : at + ":" + duration_text(e.value_us);
}

std::string board_name(const SimSettings &s, std::size_t i) {
    return s.boards.size() == 1 ? "the board" : "board " + std::to_string(i + 1);
}

}  // namespace

std::optional<std::int64_t> parse_time(std::string_view text, std::string *why) {
    std::string_view s = text;
    const std::string_view year_digits = take_digits(s);
    const bool dated = year_digits.size() == 4;
    std::optional<std::int64_t> us;
    if (dated && take(s, '+')) {  // the board's day of the year, from 0
        const std::string_view day_digits = take_digits(s);
        if (day_digits.empty() || day_digits.size() > 3 || !take(s, 'd') ||
            !(s.starts_with(' ') || s.starts_with('T')))
            return refuse<std::int64_t>(why, kTimeForms);
        const std::int64_t year = *value_of(year_digits), day = *value_of(day_digits);
        if (day >= days_in_year(year))
            return refuse<std::int64_t>(why, std::string(year_digits) +
                                                 " has the board's days 0 to " +
                                                 std::to_string(days_in_year(year) - 1));
        // The same instant as an ISO 8601 ordinal date, whose days count from 001.
        const std::string day_text = std::to_string(1000 + day + 1).substr(1);
        const std::string ordinal = std::string(year_digits) + "-" + day_text + std::string(s);
        us = library_time(ordinal, why);
    } else if (dated && take(s, '-')) {
        const std::string_view day_digits = take_digits(s);
        if (day_digits.size() == 3 && (s.empty() || s.starts_with(' ') || s.starts_with('T')))
            return refuse<std::int64_t>(why, ambiguity(year_digits, day_digits));
        us = library_time(text, why);
    } else {
        us = library_time(text, why);
    }
    if (!us)
        return std::nullopt;
    if (*us < 0)
        return refuse<std::int64_t>(why, "before the year 1970");
    if (*us >= kEndOfStartYears)
        return refuse<std::int64_t>(why, "after the year 9999");
    return us;
}

std::optional<std::int64_t> parse_duration_us(std::string_view text, Sign sign, std::string *why) {
    std::int64_t ns = 0;
    try {
        ns = korvic::parse_duration(text, sign == Sign::Allowed).count();
    } catch (const std::out_of_range &) {
        return refuse<std::int64_t>(why, "too large");
    } catch (const std::invalid_argument &e) {
        return refuse<std::int64_t>(why, library_reason("duration", text, e.what()));
    }
    if (ns % 1000 != 0)
        return refuse<std::int64_t>(why, "finer than a microsecond");
    return ns / 1000;
}

std::optional<std::int64_t> parse_drift(std::string_view text, std::string *why) {
    std::string_view s = text;
    bool negative = false;
    if (!take(s, '+'))
        negative = take(s, '-');
    const std::string_view whole = take_digits(s);
    std::string_view fraction;
    if (take(s, '.'))
        fraction = take_digits(s);
    if (s == "ppm")
        s.remove_prefix(3);
    if (whole.empty() || !s.empty() || fraction.size() > 3 ||
        (fraction.empty() && text.find('.') != std::string_view::npos))
        return refuse<std::int64_t>(
            why, "not a rate error in ppm: a number with up to three decimals (-12.5, +40ppm)");
    const auto w = value_of(whole.size() <= 9 ? whole : std::string_view{});
    std::int64_t ppb = w ? *w * 1000 : kMaxDriftPpb + 1;
    std::int64_t scale = 100;
    for (char c : fraction) {
        ppb += (c - '0') * scale;
        scale /= 10;
    }
    if (ppb > kMaxDriftPpb)
        return refuse<std::int64_t>(
            why, "more than " + std::to_string(kMaxDriftPpb / 1000) + " ppm either way");
    return negative ? -ppb : ppb;
}

std::optional<ClockEvent> parse_stop_at(std::string_view text, std::string *why) {
    const std::size_t colon = text.find(':');
    const auto at = parse_duration_us(text.substr(0, colon), Sign::Refused, why);
    if (!at)
        return std::nullopt;
    ClockEvent e{ClockEvent::Kind::Stop, *at, kForever};
    if (colon != std::string_view::npos) {
        const auto d = parse_duration_us(text.substr(colon + 1), Sign::Refused, why);
        if (!d)
            return std::nullopt;
        if (*d == 0)
            return refuse<ClockEvent>(why, "a stand-still of 0");
        e.value_us = *d;
    }
    return e;
}

std::optional<ClockEvent> parse_jump_at(std::string_view text, std::string *why) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return refuse<ClockEvent>(why, "not AT:STEP (3s:+2s)");
    const auto at = parse_duration_us(text.substr(0, colon), Sign::Refused, why);
    if (!at)
        return std::nullopt;
    const auto step = parse_duration_us(text.substr(colon + 1), Sign::Allowed, why);
    if (!step)
        return std::nullopt;
    if (*step == 0)
        return refuse<ClockEvent>(why, "a jump of 0");
    return ClockEvent{ClockEvent::Kind::Jump, *at, *step};
}

std::optional<StatusFault> parse_status_at(std::string_view text, std::string *why) {
    constexpr const char *kForm = "not AT:BIT=VALUE[:FOR] (10s:8=0:5s)";
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return refuse<StatusFault>(why, kForm);
    const auto at = parse_duration_us(text.substr(0, colon), Sign::Refused, why);
    if (!at)
        return std::nullopt;
    std::string_view rest = text.substr(colon + 1);
    const std::string_view bit_digits = take_digits(rest);
    if (bit_digits.empty() || !take(rest, '=') || rest.empty() ||
        (rest.front() != '0' && rest.front() != '1') || (rest.size() > 1 && rest[1] != ':'))
        return refuse<StatusFault>(why, kForm);
    const auto bit = value_of(bit_digits.size() <= 2 ? bit_digits : std::string_view{});
    if (bit && *bit == 9)
        return refuse<StatusFault>(
            why, "bit 9 is the compare event flag, which the board raises and software clears");
    if (!bit || std::find(std::begin(kForcibleStatusBits), std::end(kForcibleStatusBits), *bit) ==
                    std::end(kForcibleStatusBits))
        return refuse<StatusFault>(why, "no status bit " + std::string(bit_digits) +
                                            ": the board's are 8, 10, 12 and 13 (and 9)");
    StatusFault f{*at, kForever, static_cast<unsigned>(*bit), rest.front() == '1'};
    rest.remove_prefix(1);
    if (take(rest, ':')) {
        const auto d = parse_duration_us(rest, Sign::Refused, why);
        if (!d)
            return std::nullopt;
        if (*d == 0)
            return refuse<StatusFault>(why, "a fault that lasts 0");
        f.for_us = *d;
    }
    return f;
}

std::optional<LeapSecond> parse_leap_at(std::string_view text, std::string *why) {
    LeapSecond leap;
    std::string_view time = text;
    bool shown = false;
    const auto word = [&time](std::string_view w) {
        if (time.size() <= w.size() || !time.ends_with(w) ||
            time[time.size() - w.size() - 1] != ':')
            return false;
        time.remove_suffix(w.size() + 1);
        return true;
    };
    if (word("60")) {
        shown = true;
    } else if (word("repeat")) {
        leap.show = LeapSecond::Show::Repeat;
        shown = true;
    }
    if (word("delete"))
        leap.kind = LeapSecond::Kind::Delete;
    else
        word("insert");
    if (shown && leap.kind == LeapSecond::Kind::Delete)
        return refuse<LeapSecond>(why,
                                  "a deleted second is not shown: no :60 or :repeat after :delete");
    const auto at = parse_time(time, why);
    if (!at)
        return std::nullopt;
    if (*at % kUsPerMinute != 0)
        return refuse<LeapSecond>(
            why,
            "not at a whole minute: TIME is the instant that begins the minute after the "
            "leap second (2017-01-01T00:00:00Z)");
    leap.at_us = *at;
    return leap;
}

std::optional<BusOrder> parse_bus_order(std::string_view text, std::string *why) {
    if (text == "native")
        return BusOrder::Native;
    if (text == "swapped")
        return BusOrder::Swapped;
    return refuse<BusOrder>(why, "neither native nor swapped");
}

int parse_signal(std::string_view text, std::string *why) {
    std::string_view rest = text;
    const std::string_view digits = take_digits(rest);
    int sig = 0;
    if (!digits.empty() && rest.empty()) {
        const auto n = value_of(digits.size() <= 3 ? digits : std::string_view{});
        if (!n || *n < 1 || *n > SIGRTMAX) {
            if (why != nullptr)
                *why = "no signal number " + std::string(text) + " (1 to " +
                       std::to_string(SIGRTMAX) + ")";
            return 0;
        }
        sig = static_cast<int>(*n);
    } else {
        std::string name = upper(text);
        if (name.substr(0, 3) == "SIG")
            name.erase(0, 3);
        const auto *named = std::find_if(std::begin(kSignals), std::end(kSignals),
                                         [&name](const SignalInfo &s) { return name == s.name; });
        if (named != std::end(kSignals))
            sig = named->number;
        if (sig == 0)
            sig = real_time_signal(name);
        if (sig <= 0) {
            if (why != nullptr)
                *why = sig < 0 ? "beyond the real-time signals (RTMIN+0 to RTMIN+" +
                                     std::to_string(SIGRTMAX - SIGRTMIN) + ")"
                               : "no such signal";
            return 0;
        }
    }
    if (const char *refusal = signal_refusal(sig)) {
        if (why != nullptr)
            *why = signal_name(sig) + " " + refusal +
                   "; usable: USR1, USR2, ALRM, VTALRM, URG, WINCH, IO, PWR, RTMIN+n";
        return 0;
    }
    return sig;
}

std::string signal_name(int sig) {
    if (const SignalInfo *info = signal_info(sig))
        return std::string("SIG") + info->name;
    if (sig >= SIGRTMIN && sig <= SIGRTMAX)
        return "SIGRTMIN+" + std::to_string(sig - SIGRTMIN);
    return "signal " + std::to_string(sig);
}

bool check_device_path(std::string_view text, std::string *why) {
    const char *problem = nullptr;
    if (text.empty())
        problem = "an empty path";
    for (char c : text)
        if (std::isspace(static_cast<unsigned char>(c)) ||
            std::iscntrl(static_cast<unsigned char>(c)))
            problem = "a blank or a control character, which ends a path in korvic_cfg.dat";
    if (problem == nullptr && text.size() > kMaxDevicePathLength) {
        if (why != nullptr)
            *why = "longer than the " + std::to_string(kMaxDevicePathLength) +
                   " characters a MEM_PATH= or INT_PATH= line of korvic_cfg.dat holds";
        return false;
    }
    if (problem != nullptr && why != nullptr)
        *why = problem;
    return problem == nullptr;
}

BoardSettings BoardSettings::defaults(int k) {
    BoardSettings b;
    if (k >= 2) {
        b.mem_path += std::to_string(k);
        b.int_path += std::to_string(k);
    }
    return b;
}

std::string board_variable(std::string_view name, int k) {
    return std::string(name) + "_" + std::to_string(k);
}

bool is_board_variable(std::string_view name) {
    return std::any_of(std::begin(kBoardRows), std::end(kBoardRows),
                       [name](const BoardRow &row) { return name == row.name; });
}

bool apply_setting(const char *name, std::string_view value, SimSettings *s, std::string *why) {
    for (const RunRow &row : kRunRows)
        if (std::string_view(row.name) == name)
            return value.empty() || row.apply(value, s, why);
    for (const BoardRow &row : kBoardRows) {
        if (std::string_view(row.name) != name)
            continue;
        for (BoardSettings &b : s->boards)
            if (!value.empty() && !row.apply(value, &b, why))
                return false;
        return true;
    }
    if (why != nullptr)
        *why = "not a setting";
    return false;
}

bool check_settings(const SimSettings &s, std::string *why) {
    const auto refused = [why](std::string reason) {
        if (why != nullptr)
            *why = std::move(reason);
        return false;
    };
    for (std::size_t i = 0; i < s.boards.size(); ++i) {
        const BoardSettings &b = s.boards[i];
        if (b.mem_path == b.int_path)
            return refused(std::string(s.boards.size() == 1 ? "the" : board_name(s, i) + ": the") +
                           " register device and the bridge device have the same path " +
                           detail::quote(b.mem_path));
        for (std::size_t j = 0; j < i; ++j) {
            const std::string *paths[] = {&s.boards[j].mem_path, &s.boards[j].int_path};
            const auto *same =
                std::find_if(std::begin(paths), std::end(paths),
                             [&b](const auto *p) { return *p == b.mem_path || *p == b.int_path; });
            if (same != std::end(paths))
                return refused("boards " + std::to_string(j + 1) + " and " + std::to_string(i + 1) +
                               " have the same device path " + detail::quote(**same));
        }
        if (b.offset_us && s.virtual_clock)
            return refused(
                "--offset and --virtual exclude each other: a board on the virtual clock has "
                "no host time to keep an offset from");
        if (b.offset_us && b.start_us)
            return refused("--offset and --start both set " + board_name(s, i) +
                           "'s time at power-up: give one");
        const ClockEvent *last_stop = nullptr;
        for (const ClockEvent &e : b.events) {
            if (e.kind != ClockEvent::Kind::Stop)
                continue;
            if (last_stop != nullptr &&
                saturating_add(last_stop->at_us, last_stop->value_us) > e.at_us)
                return refused("--stop-at: the stand-stills " + stop_text(*last_stop) + " and " +
                               stop_text(e) + " of " + board_name(s, i) + " overlap");
            last_stop = &e;
        }
    }
    return true;
}

std::optional<SimSettings> settings_from_env(const GetEnv &get, std::string *error) {
    SimSettings out;
    std::string why;
    const auto bad = [&](const std::string &name, const char *value) {
        *error = name + "=" + detail::quote(value) + ": " + why;
        return std::nullopt;
    };
    for (const RunRow &row : kRunRows) {
        const char *v = get(row.name);
        if (v != nullptr && *v != '\0' && !row.apply(v, &out, &why))
            return bad(row.name, v);
    }
    for (std::size_t i = 0; i < out.boards.size(); ++i) {
        for (const BoardRow &row : kBoardRows) {
            const std::string own = board_variable(row.name, static_cast<int>(i + 1));
            for (const std::string &name : {std::string(row.name), own}) {
                const char *v = get(name.c_str());
                if (v != nullptr && *v != '\0' && !row.apply(v, &out.boards[i], &why))
                    return bad(name, v);
            }
        }
    }
    if (!check_settings(out, &why)) {
        *error = why;
        return std::nullopt;
    }
    return out;
}

}  // namespace korvic::sim
