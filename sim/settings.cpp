#include "settings.h"

#include <signal.h>

#include <cctype>
#include <utility>

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
    for (char c : digits)
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v))
            return std::nullopt;
    return v;
}

bool take(std::string_view &s, char c) {
    if (s.empty() || s.front() != c)
        return false;
    s.remove_prefix(1);
    return true;
}

// ".ffffff": up to six digits of fraction, as microseconds. False on a point without
// digits or with more than six.
bool take_fraction(std::string_view &s, std::int64_t *us) {
    *us = 0;
    if (!take(s, '.'))
        return true;
    const std::string_view digits = take_digits(s);
    if (digits.empty() || digits.size() > 6)
        return false;
    std::int64_t v = *value_of(digits);
    for (std::size_t i = digits.size(); i < 6; ++i)
        v *= 10;
    *us = v;
    return true;
}

constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr const char *kMonthNames[12] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};

int days_in_month(std::int64_t year, int month) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return kDays[month - 1] + (month == 2 && is_leap_year(year) ? 1 : 0);
}

constexpr const char *kTimeForms =
    "not a time: YYYY-DDD hh:mm:ss[.ffffff], YYYY-MM-DD hh:mm:ss[.ffffff] (T for the blank "
    "allowed) or @SECONDS[.ffffff]";

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
const char *signal_refusal(int sig) {
    for (const SignalInfo &s : kSignals)
        if (s.number == sig)
            return s.refusal;
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
// The settings, one row per variable.
// ---------------------------------------------------------------------------------------

bool set_path(std::string_view v, std::string *out, std::string *why) {
    if (!check_device_path(v, why))
        return false;
    *out = v;
    return true;
}

bool set_mem_path(std::string_view v, SimSettings *s, std::string *why) {
    return set_path(v, &s->mem_path, why);
}

bool set_int_path(std::string_view v, SimSettings *s, std::string *why) {
    return set_path(v, &s->int_path, why);
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

bool set_start(std::string_view v, SimSettings *s, std::string *why) {
    s->start_us = parse_time(v, why);
    return s->start_us.has_value();
}

std::string bound_text(std::int64_t us) {
    return us == kUsPerDay ? "24h" : std::to_string(us) + "us";
}

bool set_step(std::string_view v, SimSettings *s, std::string *why) {
    const auto d = parse_duration(v, Sign::Refused, why);
    if (!d)
        return false;
    if (*d > kMaxStepUs) {
        if (why != nullptr)
            *why = "more than " + bound_text(kMaxStepUs) + " per register access";
        return false;
    }
    s->step_us = *d;
    return true;
}

bool set_bus_order(std::string_view v, SimSettings *s, std::string *why) {
    const auto o = parse_bus_order(v, why);
    if (o)
        s->bus_order = *o;
    return o.has_value();
}

bool set_period(std::string_view v, SimSettings *s, std::string *why) {
    const auto d = parse_duration(v, Sign::Refused, why);
    if (!d)
        return false;
    if (*d == 0 || *d > kMaxPeriodUs) {
        if (why != nullptr)
            *why = *d == 0 ? "a period of 0" : "longer than " + bound_text(kMaxPeriodUs);
        return false;
    }
    s->external_event_period_us = *d;
    return true;
}

bool set_signal(std::string_view v, SimSettings *s, std::string *why) {
    s->external_event_signal = parse_signal(v, why);
    return s->external_event_signal != 0;
}

bool set_trace(std::string_view v, SimSettings *s, std::string *) {
    s->trace_path = v;
    return true;
}

bool set_trace_tsv(std::string_view v, SimSettings *s, std::string *) {
    s->trace_tsv_path = v;
    return true;
}

struct SettingRow {
    const char *name;
    bool (*apply)(std::string_view, SimSettings *, std::string *);
};

constexpr SettingRow kSettingRows[] = {
    {kEnvMemPath, &set_mem_path},   {kEnvIntPath, &set_int_path}, {kEnvClock, &set_clock},
    {kEnvStart, &set_start},        {kEnvStep, &set_step},        {kEnvBusOrder, &set_bus_order},
    {kEnvExtPeriod, &set_period},   {kEnvExtSignal, &set_signal}, {kEnvTrace, &set_trace},
    {kEnvTraceTsv, &set_trace_tsv},
};

}  // namespace

std::optional<std::int64_t> parse_time(std::string_view text, std::string *why) {
    std::string_view s = text;
    if (take(s, '@')) {
        std::string_view digits = take_digits(s);
        std::int64_t frac = 0;
        if (digits.empty() || !take_fraction(s, &frac) || !s.empty())
            return refuse<std::int64_t>(why, kTimeForms);
        while (digits.size() > 1 && digits.front() == '0')
            digits.remove_prefix(1);
        const auto sec = value_of(digits.size() <= 12 ? digits : std::string_view{});
        if (!sec || *sec * kUsPerSecond + frac >= kEndOfStartYears)
            return refuse<std::int64_t>(why, "after the year 9999");
        return *sec * kUsPerSecond + frac;
    }
    const std::string_view year_digits = take_digits(s);
    if (year_digits.size() != 4 || !take(s, '-'))
        return refuse<std::int64_t>(why, kTimeForms);
    const std::int64_t year = *value_of(year_digits);
    const std::string_view a_digits = take_digits(s);
    if (a_digits.empty() || a_digits.size() > 3)
        return refuse<std::int64_t>(why, kTimeForms);
    const std::int64_t a = *value_of(a_digits);
    BoardFields f;
    f.year = static_cast<std::int32_t>(year);
    std::string date_problem;
    if (take(s, '-')) {  // calendar date: a is the month
        const std::string_view day_digits = take_digits(s);
        if (a_digits.size() != 2 || day_digits.size() != 2)
            return refuse<std::int64_t>(why, kTimeForms);
        const std::int64_t day = *value_of(day_digits);
        if (a < 1 || a > 12)
            date_problem = "no month " + std::to_string(a);
        else if (day < 1 || day > days_in_month(year, static_cast<int>(a)))
            date_problem = std::string(kMonthNames[a - 1]) + " " + std::to_string(year) +
                           " has no day " + std::to_string(day);
        else
            f.yday = kDaysBeforeMonth[a - 1] + static_cast<std::int32_t>(day) - 1 +
                     (a > 2 && is_leap_year(year) ? 1 : 0);
    } else if (a >= days_in_year(year)) {
        date_problem = std::to_string(year) + " has days 000 to " +
                       std::to_string(days_in_year(year) - 1) + " (counted from 0)";
    } else {
        f.yday = static_cast<std::int32_t>(a);
    }
    if (!take(s, ' ') && !take(s, 'T'))
        return refuse<std::int64_t>(why, kTimeForms);
    const std::string_view h = take_digits(s);
    if (h.size() != 2 || !take(s, ':'))
        return refuse<std::int64_t>(why, kTimeForms);
    const std::string_view m = take_digits(s);
    if (m.size() != 2 || !take(s, ':'))
        return refuse<std::int64_t>(why, kTimeForms);
    const std::string_view sec = take_digits(s);
    std::int64_t frac = 0;
    if (sec.size() != 2 || !take_fraction(s, &frac) || !s.empty())
        return refuse<std::int64_t>(why, kTimeForms);
    if (!date_problem.empty())
        return refuse<std::int64_t>(why, date_problem);
    if (*value_of(h) > 23 || *value_of(m) > 59 || *value_of(sec) > 59)
        return refuse<std::int64_t>(why, "no such time of day (00:00:00 to 23:59:59)");
    if (year < kFirstStartYear || year > kLastStartYear)
        return refuse<std::int64_t>(why, "outside the years 1970 to 9999");
    f.hour = static_cast<std::int32_t>(*value_of(h));
    f.minute = static_cast<std::int32_t>(*value_of(m));
    f.second = static_cast<std::int32_t>(*value_of(sec));
    return to_us(f) + frac;
}

std::optional<std::int64_t> parse_duration(std::string_view text, Sign sign, std::string *why) {
    constexpr const char *kForm =
        "not a duration: a number and a unit, us, ms, s, min or h (1.5s, 250ms)";
    std::string_view s = text;
    bool negative = false;
    if (sign == Sign::Allowed && !s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    std::string_view whole = take_digits(s);
    std::string_view fraction;
    if (take(s, '.')) {
        fraction = take_digits(s);
        if (fraction.empty())
            return refuse<std::int64_t>(why, kForm);
    }
    if (whole.empty())
        return refuse<std::int64_t>(why, kForm);
    while (whole.size() > 1 && whole.front() == '0')
        whole.remove_prefix(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);

    struct Unit {
        std::string_view name;
        std::int64_t us;
    };
    static constexpr Unit kUnits[] = {
        {"us", 1}, {"ms", kUsPerMs}, {"s", kUsPerSecond}, {"min", kUsPerMinute}, {"h", kUsPerHour}};
    std::int64_t unit = 0;
    for (const Unit &u : kUnits)
        if (s == u.name)
            unit = u.us;
    if (unit == 0) {
        if (s.empty() && whole == "0" && fraction.empty())
            return 0;  // zero is zero in any unit
        if (s.empty())
            return refuse<std::int64_t>(why, "no unit (us, ms, s, min or h)");
        return refuse<std::int64_t>(
            why, "unknown unit \"" + std::string(s) + "\" (us, ms, s, min or h)");
    }

    constexpr const char *kTooLarge = "too large";
    const auto w = value_of(whole);
    std::int64_t us = 0;
    if (!w || __builtin_mul_overflow(*w, unit, &us))
        return refuse<std::int64_t>(why, kTooLarge);
    if (!fraction.empty()) {
        // fraction * unit / 10^digits must be whole: 9 digits keep the product in range.
        if (fraction.size() > 9)
            return refuse<std::int64_t>(why, "finer than a microsecond");
        std::int64_t scale = 1;
        for (std::size_t i = 0; i < fraction.size(); ++i)
            scale *= 10;
        const std::int64_t part = *value_of(fraction) * unit;
        if (part % scale != 0)
            return refuse<std::int64_t>(why, "finer than a microsecond");
        if (__builtin_add_overflow(us, part / scale, &us))
            return refuse<std::int64_t>(why, kTooLarge);
    }
    return negative ? -us : us;
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
        for (const SignalInfo &s : kSignals)
            if (name == s.name)
                sig = s.number;
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
    for (const SignalInfo &s : kSignals)
        if (s.number == sig)
            return std::string("SIG") + s.name;
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

bool apply_setting(const char *name, std::string_view value, SimSettings *s, std::string *why) {
    for (const SettingRow &row : kSettingRows) {
        if (std::string_view(row.name) != name)
            continue;
        return value.empty() || row.apply(value, s, why);
    }
    if (why != nullptr)
        *why = "not a setting";
    return false;
}

bool check_settings(const SimSettings &s, std::string *why) {
    if (s.mem_path != s.int_path)
        return true;
    if (why != nullptr)
        *why =
            "the register device and the bridge device have the same path \"" + s.mem_path + "\"";
    return false;
}

std::optional<SimSettings> settings_from_env(const GetEnv &get, std::string *error) {
    SimSettings out;
    for (const SettingRow &row : kSettingRows) {
        const char *v = get(row.name);
        std::string why;
        if (v != nullptr && !apply_setting(row.name, v, &out, &why)) {
            *error = std::string(row.name) + "=\"" + v + "\": " + why;
            return std::nullopt;
        }
    }
    std::string why;
    if (!check_settings(out, &why)) {
        *error = why;
        return std::nullopt;
    }
    return out;
}

}  // namespace korvic::sim
