// Fuzzes the library's parsers of typed times and durations (parse_time, parse_duration)
// with the text as it comes. Nothing may crash or trip the sanitizers, and:
//   - a time taken formats (format_time) to a text that parses to the same instant and
//     formats the same again, whenever its year has four digits (a text of another year is
//     refused); @ and its Unix seconds (format_unix_time) parse back to it too;
//   - a refusal is std::invalid_argument (a time or duration out of range: std::out_of_range
//     for a duration), with a message of one line, no control character, of bounded length,
//     that starts with what the parser was reading;
//   - a duration taken without a sign is taken with one, the same; "<n>ns" of its value
//     parses back to it; a duration of digits and a unit is the digits times the unit,
//     counted again here in 128 bits.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "korvic/board.hpp"

namespace {

using korvic::fuzz::check;

// One line, nothing a terminal acts on, and short even for a text of megabytes.
void check_message(const std::exception &e, std::string_view head) {
    const std::string_view what = e.what();
    check(what.starts_with(head), "a refusal that does not say what it was reading");
    check(what.size() <= 600, "a refusal longer than a line or two");
    for (const char c : what)
        check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F,
              "a control character in a refusal");
}

void time_round_trip(std::string_view text) {
    korvic::utc_time t;
    try {
        t = korvic::parse_time(text);
    } catch (const std::invalid_argument &e) {
        check_message(e, "korvic: time \"");
        return;
    }
    const std::string formatted = korvic::format_time(t);
    const bool four_digit_year = formatted.size() > 4 && formatted[4] == '-' && formatted[0] != '-';
    try {
        const korvic::utc_time again = korvic::parse_time(formatted);
        check(four_digit_year, "a year of more than four digits read back");
        check(again == t, "format_time's text names another instant");
        check(korvic::format_time(again) == formatted, "format_time is not canonical");
    } catch (const std::invalid_argument &) {
        check(!four_digit_year, "format_time's text of a four-digit year is refused");
    }
    if (t.time_since_epoch().count() != INT64_MIN)  // its magnitude has no positive twin
        check(korvic::parse_time("@" + korvic::format_unix_time(t)) == t,
              "@ and the Unix seconds name another instant");
}

// The digits and unit of a text such as "250ms", counted in 128 bits; -1 for another form
// or a count beyond 64 bits.
__int128 digits_times_unit(std::string_view text) {
    struct Unit {
        std::string_view name;
        std::int64_t ns;
    };
    static constexpr Unit kUnits[] = {{"ns", 1},
                                      {"us", 1000},
                                      {"ms", 1'000'000},
                                      {"s", 1'000'000'000},
                                      {"min", 60'000'000'000},
                                      {"h", 3'600'000'000'000}};
    std::size_t n = 0;
    __int128 v = 0;
    for (; n < text.size() && text[n] >= '0' && text[n] <= '9'; ++n) {
        v = v * 10 + (text[n] - '0');
        if (v > INT64_MAX)
            return -1;
    }
    if (n == 0)
        return -1;
    for (const Unit &u : kUnits)
        if (text.substr(n) == u.name)
            return v * u.ns > INT64_MAX ? -1 : v * u.ns;
    return -1;
}

void duration_checks(std::string_view text) {
    for (const bool sign : {false, true}) {
        std::int64_t ns = 0;
        try {
            ns = korvic::parse_duration(text, sign).count();
        } catch (const std::invalid_argument &e) {
            check_message(e, "korvic: duration \"");
            continue;
        } catch (const std::out_of_range &e) {
            check_message(e, "korvic: duration \"");
            continue;
        }
        check(sign || ns >= 0, "a duration below 0 without a sign");
        if (!sign)
            check(korvic::parse_duration(text, true).count() == ns,
                  "a sign allowed changes a duration");
        const std::string again = (ns < 0 ? "-" : "") + std::to_string(ns < 0 ? -ns : ns) + "ns";
        if (ns != 0)
            check(korvic::parse_duration(again, true).count() == ns,
                  "a duration's nanoseconds name another duration");
        const __int128 counted = digits_times_unit(text);
        if (counted >= 0)
            check(counted == ns, "digits times the unit differ");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    time_round_trip(text);
    duration_checks(text);
    return 0;
}
