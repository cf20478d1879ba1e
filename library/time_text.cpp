// Times, durations and compare masks as text: the one formatter and the parsers that every
// program built on the library shares.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "korvic/board.hpp"
#include "quoting.h"
#include "timecodec.h"

namespace korvic {
namespace {

constexpr std::int64_t kMicros = 1'000'000;

constexpr bool is_leap(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr const char *kMonthNames[12] = {"January",   "February", "March",    "April",
                                         "May",       "June",     "July",     "August",
                                         "September", "October",  "November", "December"};

int days_in_month(std::int64_t year, int month) {
    return kDaysInMonth[month - 1] + (month == 2 && is_leap(year) ? 1 : 0);
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Text taken from the front, one piece at a time.
class Cursor {
  public:
    explicit Cursor(std::string_view s) : s_(s) {}
    bool empty() const { return s_.empty(); }
    std::string_view rest() const { return s_; }
    bool take(char c) {
        if (s_.empty() || s_.front() != c)
            return false;
        s_.remove_prefix(1);
        return true;
    }
    std::string_view digits() {
        std::size_t n = 0;
        while (n < s_.size() && s_[n] >= '0' && s_[n] <= '9')
            ++n;
        const std::string_view d = s_.substr(0, n);
        s_.remove_prefix(n);
        return d;
    }

  private:
    std::string_view s_;
};

// The value of a run of digits, or nothing when it does not fit 64 bits.
std::optional<std::int64_t> value_of(std::string_view digits) {
    std::int64_t v = 0;
    const bool fits = std::all_of(digits.begin(), digits.end(), [&v](char c) {
        return !__builtin_mul_overflow(v, 10, &v) && !__builtin_add_overflow(v, c - '0', &v);
    });
    return fits ? std::optional<std::int64_t>(v) : std::nullopt;
}

std::int64_t small_value(std::string_view digits) {
    return *value_of(digits);  // callers pass at most 4 digits
}

// ---------------------------------------------------------------------------------------
// Times.
// ---------------------------------------------------------------------------------------

constexpr const char *kTimeForms =
    "not a time: YYYY-MM-DDThh:mm:ss[.ffffff][Z], YYYY-DDDThh:mm:ss[.ffffff][Z] (day from 001) "
    "or @SECONDS[.ffffff]";

[[noreturn]] void bad_time(std::string_view text, const std::string &why) {
    throw std::invalid_argument("korvic: time " + detail::quote(text) + ": " + why);
}

// ".f" to ".ffffff" as microseconds; nothing without a point.
std::int64_t take_fraction(Cursor &c, std::string_view text) {
    if (!c.take('.'))
        return 0;
    const std::string_view d = c.digits();
    if (d.empty())
        bad_time(text, kTimeForms);
    if (d.size() > 6)
        bad_time(text, "more than 6 digits of fraction (the finest unit is the microsecond)");
    std::int64_t v = 0;
    for (std::size_t i = 0; i < 6; ++i)
        v = v * 10 + (i < d.size() ? d[i] - '0' : 0);
    return v;
}

// What may end a time: nothing, or a Z.
void take_end(Cursor &c, std::string_view text) {
    c.take('Z');
    if (c.empty())
        return;
    const char next = c.rest().front();
    if (next == '+' || next == '-')
        bad_time(text, "a zone offset is not taken: give the time in UTC (with or without Z)");
    bad_time(text, kTimeForms);
}

utc_time parse_seconds(Cursor &c, std::string_view text) {
    const bool negative = c.take('-');
    const std::string_view d = c.digits();
    if (d.empty())
        bad_time(text, kTimeForms);
    const std::int64_t fraction = take_fraction(c, text);
    if (!c.empty())
        bad_time(text, kTimeForms);
    const auto whole = value_of(d);
    std::int64_t us = 0;
    if (!whole || __builtin_mul_overflow(*whole, kMicros, &us) ||
        __builtin_add_overflow(us, fraction, &us))
        bad_time(text, "beyond the 64-bit microsecond count");
    return utc_time{std::chrono::microseconds{negative ? -us : us}};
}

}  // namespace

std::string format_time(utc_time t) {
    const std::int64_t us = t.time_since_epoch().count();
    const std::int64_t seconds = floor_div(us, kMicros);
    const auto fraction = static_cast<long>(us % kMicros + (us % kMicros < 0 ? kMicros : 0));
    const codec::Calendar c = codec::utc_calendar(seconds);
    int month = 1;
    int day = c.yday + 1;
    while (day > days_in_month(c.year, month)) {
        day -= days_in_month(c.year, month);
        ++month;
    }
    char year[16];
    if (c.year < 0)
        std::snprintf(year, sizeof year, "-%04ld", -static_cast<long>(c.year));
    else
        std::snprintf(year, sizeof year, "%04ld", static_cast<long>(c.year));
    char out[64];
    std::snprintf(out, sizeof out, "%s-%02d-%02dT%02d:%02d:%02d.%06ldZ", year, month, day, c.hour,
                  c.minute, c.second, fraction);
    return out;
}

std::string format_unix_time(utc_time t) {
    const std::int64_t us = t.time_since_epoch().count();
    // The magnitude as unsigned: the earliest count has no positive twin.
    const std::uint64_t magnitude =
        us < 0 ? 0 - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
    char out[32];
    std::snprintf(out, sizeof out, "%s%llu.%06llu", us < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / kMicros),
                  static_cast<unsigned long long>(magnitude % kMicros));
    return out;
}

utc_time parse_time(std::string_view text) {
    Cursor c(text);
    if (c.take('@'))
        return parse_seconds(c, text);

    const std::string_view year_digits = c.digits();
    if (year_digits.size() != 4 || !c.take('-'))
        bad_time(text, kTimeForms);
    const std::int64_t year = small_value(year_digits);
    const std::string_view a = c.digits();
    std::int64_t yday = 0;  // from 0
    std::string date_problem;
    if (c.take('-')) {  // calendar date: a is the month
        const std::string_view day_digits = c.digits();
        if (a.size() != 2 || day_digits.size() != 2)
            bad_time(text, kTimeForms);
        const std::int64_t month = small_value(a);
        const std::int64_t day = small_value(day_digits);
        if (month < 1 || month > 12) {
            date_problem = "no month " + std::string(a);
        } else if (day < 1 || day > days_in_month(year, static_cast<int>(month))) {
            date_problem = std::string(kMonthNames[month - 1]) + " " + std::string(year_digits) +
                           " has no day " + std::string(day_digits);
        } else {
            for (int m = 1; m < month; ++m)
                yday += days_in_month(year, m);
            yday += day - 1;
        }
    } else {  // ordinal date: a is the day of the year, from 001
        if (a.size() != 3)
            bad_time(text, kTimeForms);
        const std::int64_t ordinal = small_value(a);
        const int days = is_leap(year) ? 366 : 365;
        if (ordinal < 1 || ordinal > days)
            date_problem = std::string(year_digits) + " has days 001 to " + std::to_string(days);
        yday = ordinal - 1;
    }
    if (!c.take('T') && !c.take(' '))
        bad_time(text, kTimeForms);
    const std::string_view h = c.digits();
    if (h.size() != 2 || !c.take(':'))
        bad_time(text, kTimeForms);
    const std::string_view m = c.digits();
    if (m.size() != 2 || !c.take(':'))
        bad_time(text, kTimeForms);
    const std::string_view s = c.digits();
    if (s.size() != 2)
        bad_time(text, kTimeForms);
    const std::int64_t fraction = take_fraction(c, text);
    take_end(c, text);
    if (!date_problem.empty())
        bad_time(text, date_problem);
    const std::int64_t hour = small_value(h), minute = small_value(m), second = small_value(s);
    if (hour > 23 || minute > 59 || second > 59)
        bad_time(text, "no such time of day (00:00:00 to 23:59:59)");
    const std::int64_t day_number = codec::days_to_new_year(year) + yday;
    const std::int64_t seconds = day_number * 86'400 + hour * 3'600 + minute * 60 + second;
    return utc_time{std::chrono::microseconds{seconds * kMicros + fraction}};
}

// ---------------------------------------------------------------------------------------
// Durations.
// ---------------------------------------------------------------------------------------

std::chrono::nanoseconds parse_duration(std::string_view text, bool allow_sign) {
    const auto refuse = [text](const std::string &why) -> std::invalid_argument {
        return std::invalid_argument("korvic: duration " + detail::quote(text) + ": " + why);
    };
    constexpr const char *kUnitList = "ns, us, ms, s, min or h";
    Cursor c(text);
    bool negative = false;
    if (allow_sign && !c.take('+'))
        negative = c.take('-');
    std::string_view whole = c.digits();
    std::string_view fraction;
    if (c.take('.')) {
        fraction = c.digits();
        if (fraction.empty())
            throw refuse(std::string("not a duration: a number and a unit, ") + kUnitList +
                         " (1.5s, 250ms)");
    }
    if (whole.empty())
        throw refuse(std::string("not a duration: a number and a unit, ") + kUnitList +
                     " (1.5s, 250ms)");
    while (whole.size() > 1 && whole.front() == '0')
        whole.remove_prefix(1);
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);

    struct Unit {
        std::string_view name;
        std::int64_t ns;
    };
    static constexpr Unit kUnits[] = {{"ns", 1},
                                      {"us", 1'000},
                                      {"ms", 1'000'000},
                                      {"s", 1'000'000'000},
                                      {"min", 60'000'000'000},
                                      {"h", 3'600'000'000'000}};
    const std::string_view unit_text = c.rest();
    const Unit *found = std::find_if(std::begin(kUnits), std::end(kUnits),
                                     [unit_text](const Unit &u) { return u.name == unit_text; });
    if (found == std::end(kUnits)) {
        if (unit_text.empty() && whole == "0" && fraction.empty())
            return std::chrono::nanoseconds{0};  // zero is zero in any unit
        if (unit_text.empty())
            throw refuse(std::string("no unit (") + kUnitList + ")");
        throw refuse("unknown unit " + detail::quote(unit_text) + " (" + kUnitList + ")");
    }

    const auto too_large = [text] {
        return std::out_of_range("korvic: duration " + detail::quote(text) +
                                 ": beyond the 64-bit nanosecond count (some 292 years)");
    };
    const std::int64_t unit = found->ns;
    const auto w = value_of(whole);
    std::int64_t ns = 0;
    if (!w || __builtin_mul_overflow(*w, unit, &ns))
        throw too_large();
    if (!fraction.empty()) {
        // fraction × unit / 10^digits must be whole. The fraction ends in a digit other
        // than 0, and no unit holds more than 2^13 or 5^11, so more than 13 digits never is.
        constexpr const char *kFiner = "finer than a nanosecond";
        if (fraction.size() > 13)
            throw refuse(kFiner);
        std::int64_t scale = 1;
        for (std::size_t i = 0; i < fraction.size(); ++i)
            scale *= 10;
        const std::int64_t common = std::gcd(scale, unit);
        const std::int64_t f = *value_of(fraction);
        if (f % (scale / common) != 0)
            throw refuse(kFiner);
        if (__builtin_add_overflow(ns, f / (scale / common) * (unit / common), &ns))
            throw too_large();
    }
    return std::chrono::nanoseconds{negative ? -ns : ns};
}

// ---------------------------------------------------------------------------------------
// Compare masks.
// ---------------------------------------------------------------------------------------

namespace {

struct MaskWord {
    std::string_view word;
    CompareMask mask;
};
constexpr MaskWord kMaskWords[] = {
    {"year", CompareMask::yearly},
    {"day", CompareMask::daily},
    {"hour", CompareMask::hourly},
    {"minute", CompareMask::every_minute},
    {"second", CompareMask::every_second},
    {"millisecond", CompareMask::every_millisecond},
    {"off", CompareMask::off},
};

}  // namespace

std::optional<CompareMask> parse_compare_every(std::string_view word) {
    const MaskWord *m = std::find_if(std::begin(kMaskWords), std::end(kMaskWords),
                                     [word](const MaskWord &w) { return w.word == word; });
    return m != std::end(kMaskWords) ? std::optional<CompareMask>(m->mask) : std::nullopt;
}

std::string_view to_string(CompareMask mask) {
    const MaskWord *m = std::find_if(std::begin(kMaskWords), std::end(kMaskWords),
                                     [mask](const MaskWord &w) { return w.mask == mask; });
    return m != std::end(kMaskWords) ? m->word : "reserved";
}

}  // namespace korvic
