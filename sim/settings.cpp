#include "settings.h"

#include <signal.h>

#include <charconv>

#include "calendar.h"

namespace korvic::sim {
namespace {

// Reads an unsigned decimal of at least one digit from the front of s.
bool take_number(std::string_view &s, std::int64_t *out, std::size_t max_digits = 18) {
    std::size_t n = 0;
    while (n < s.size() && n < max_digits && s[n] >= '0' && s[n] <= '9')
        ++n;
    if (n == 0)
        return false;
    std::int64_t v = 0;
    std::from_chars(s.data(), s.data() + n, v);
    s.remove_prefix(n);
    *out = v;
    return true;
}

bool take(std::string_view &s, char c) {
    if (s.empty() || s.front() != c)
        return false;
    s.remove_prefix(1);
    return true;
}

// ".ffffff": up to six digits of fraction, as microseconds.
bool take_fraction(std::string_view &s, std::int64_t *us) {
    *us = 0;
    if (!take(s, '.'))
        return true;
    std::size_t n = 0;
    std::int64_t v = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
        if (n >= 6)
            return false;
        v = v * 10 + (s[n] - '0');
        ++n;
    }
    if (n == 0)
        return false;
    for (std::size_t i = n; i < 6; ++i)
        v *= 10;
    s.remove_prefix(n);
    *us = v;
    return true;
}

constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

}  // namespace

std::optional<std::int64_t> parse_time(std::string_view text) {
    std::string_view s = text;
    if (take(s, '@')) {
        std::int64_t sec = 0, frac = 0;
        if (!take_number(s, &sec, 12) || !take_fraction(s, &frac) || !s.empty())
            return std::nullopt;
        return sec * kUsPerSecond + frac;
    }
    std::int64_t year = 0, a = 0, b = 0;
    if (!take_number(s, &year, 4) || !take(s, '-') || !take_number(s, &a, 3))
        return std::nullopt;
    BoardFields f;
    f.year = static_cast<std::int32_t>(year);
    if (take(s, '-')) {  // calendar date: a is the month
        if (!take_number(s, &b, 2) || a < 1 || a > 12 || b < 1 || b > 31)
            return std::nullopt;
        f.yday = kDaysBeforeMonth[a - 1] + static_cast<std::int32_t>(b) - 1 +
                 (a > 2 && is_leap_year(year) ? 1 : 0);
    } else {
        if (a >= days_in_year(year))
            return std::nullopt;
        f.yday = static_cast<std::int32_t>(a);
    }
    if (!take(s, ' ') && !take(s, 'T'))
        return std::nullopt;
    std::int64_t h = 0, m = 0, sec = 0, frac = 0;
    if (!take_number(s, &h, 2) || !take(s, ':') || !take_number(s, &m, 2) || !take(s, ':') ||
        !take_number(s, &sec, 2) || !take_fraction(s, &frac) || !s.empty())
        return std::nullopt;
    if (h > 23 || m > 59 || sec > 59)
        return std::nullopt;
    f.hour = static_cast<std::int32_t>(h);
    f.minute = static_cast<std::int32_t>(m);
    f.second = static_cast<std::int32_t>(sec);
    return to_us(f) + frac;
}

std::optional<std::int64_t> parse_duration(std::string_view text) {
    std::string_view s = text;
    std::int64_t v = 0;
    if (!take_number(s, &v, 12))
        return std::nullopt;
    if (s.empty() || s == "us")
        return v;
    if (s == "ms")
        return v * kUsPerMs;
    if (s == "s")
        return v * kUsPerSecond;
    if (s == "min")
        return v * kUsPerMinute;
    if (s == "h")
        return v * kUsPerHour;
    return std::nullopt;
}

std::optional<BusOrder> parse_bus_order(std::string_view text) {
    const std::string_view s = text;
    if (s == "native")
        return BusOrder::Native;
    if (s == "swapped")
        return BusOrder::Swapped;
    return std::nullopt;
}

int parse_signal(std::string_view text) {
    std::string_view s = text;
    std::int64_t n = 0;
    std::string_view digits = s;
    if (take_number(digits, &n, 3) && digits.empty())
        return n > 0 && n < NSIG ? static_cast<int>(n) : 0;
    if (s.substr(0, 3) == "SIG")
        s.remove_prefix(3);
    if (s == "USR1")
        return SIGUSR1;
    if (s == "USR2")
        return SIGUSR2;
    if (s == "HUP")
        return SIGHUP;
    if (s == "WINCH")
        return SIGWINCH;
    return 0;
}

std::optional<SimSettings> settings_from_env(GetEnv get, std::string *error) {
    SimSettings out;
    auto bad = [&](const char *name, const char *value) {
        *error = std::string(name) + "=" + value;
        return std::nullopt;
    };
    if (const char *v = get(kEnvMemPath); v != nullptr && *v != '\0')
        out.mem_path = v;
    if (const char *v = get(kEnvIntPath); v != nullptr && *v != '\0')
        out.int_path = v;
    if (const char *v = get(kEnvClock); v != nullptr && *v != '\0') {
        const std::string_view c = v;
        if (c != "real" && c != "virtual")
            return bad(kEnvClock, v);
        out.virtual_clock = c == "virtual";
    }
    if (const char *v = get(kEnvStart); v != nullptr && *v != '\0') {
        out.start_us = parse_time(v);
        if (!out.start_us)
            return bad(kEnvStart, v);
    }
    if (const char *v = get(kEnvStep); v != nullptr && *v != '\0') {
        const auto d = parse_duration(v);
        if (!d)
            return bad(kEnvStep, v);
        out.step_us = *d;
    }
    if (const char *v = get(kEnvBusOrder); v != nullptr && *v != '\0') {
        const auto o = parse_bus_order(v);
        if (!o)
            return bad(kEnvBusOrder, v);
        out.bus_order = *o;
    }
    if (const char *v = get(kEnvExtPeriod); v != nullptr && *v != '\0') {
        const auto d = parse_duration(v);
        if (!d)
            return bad(kEnvExtPeriod, v);
        out.external_event_period_us = *d;
    }
    if (const char *v = get(kEnvExtSignal); v != nullptr && *v != '\0') {
        out.external_event_signal = parse_signal(v);
        if (out.external_event_signal == 0)
            return bad(kEnvExtSignal, v);
    }
    if (const char *v = get(kEnvTrace); v != nullptr)
        out.trace_path = v;
    if (const char *v = get(kEnvTraceTsv); v != nullptr)
        out.trace_tsv_path = v;
    return out;
}

}  // namespace korvic::sim
