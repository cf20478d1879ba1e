// Fuzzes the simulator's parsers of its options and KORVIC_SIM_* variables with the text as
// it comes: nothing may crash or trip the sanitizers, every reason for a refusal is one
// line without a control character, and they agree with the library's parsers:
//   - a start time the simulator takes is the library's reading of the same text whenever
//     the library takes it; one the library takes and the simulator refuses is an ISO 8601
//     ordinal date (refused for its two readings) or outside the years 1970 to 9999;
//   - a board day "YYYY+DDDd ..." lies in year YYYY, DDD days (counted from 0) after its
//     1 January, by the simulator's own calendar;
//   - a duration the simulator takes is the library's, in whole microseconds, and one the
//     library takes in whole microseconds the simulator takes;
//   - the moments of --stop-at, --jump-at and --status-at are the library's durations of
//     their parts, and a forced status bit is one the board has, never the compare flag;
//   - the instant of --leap-at is the start time its TIME names, at a whole minute;
//   - every setting applies or refuses the text without a crash, its reason one line.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "korvic/board.hpp"
#include "settings.h"

namespace {

namespace sim = korvic::sim;
using korvic::fuzz::check;

void check_reason(const std::string &why) {
    check(why.size() <= 1000, "a reason longer than a line or two");
    for (const char c : why)
        check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F,
              "a control character in a reason");
}

std::optional<std::int64_t> library_us(std::string_view text) {
    try {
        return korvic::parse_time(text).time_since_epoch().count();
    } catch (const std::invalid_argument &) {
        return std::nullopt;
    }
}

std::optional<std::int64_t> library_ns(std::string_view text, bool sign) {
    try {
        return korvic::parse_duration(text, sign).count();
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

bool digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// "YYYY-DDD" followed by nothing, a blank or a T: how an ISO 8601 ordinal date begins.
bool ordinal(std::string_view text) {
    return text.size() >= 8 && digits(text.substr(0, 4)) && text[4] == '-' &&
           digits(text.substr(5, 3)) && (text.size() == 8 || text[8] == ' ' || text[8] == 'T');
}

void start_times(std::string_view text) {
    std::string why;
    const std::optional<std::int64_t> us = sim::parse_time(text, &why);
    const std::optional<std::int64_t> library = library_us(text);
    if (!us) {
        check_reason(why);
        check(!library || ordinal(text) || *library < 0 ||
                  *library >= sim::days_to_year(sim::kLastStartYear + 1) * sim::kUsPerDay,
              "a time the library takes is refused");
        return;
    }
    check(*us >= 0 && sim::from_us(*us).year <= sim::kLastStartYear,
          "a start time outside the years 1970 to 9999");
    check(!ordinal(text), "an ISO 8601 ordinal date is taken");
    if (library)
        check(*library == *us, "the simulator and the library read another instant");
    const std::size_t plus = text.find('+');
    if (plus == 4) {  // the board's day of the year, from 0
        const sim::BoardFields f = sim::from_us(*us);
        int day = 0;
        for (const char c : text.substr(5, text.find('d') - 5))
            day = day * 10 + (c - '0');
        check(std::to_string(f.year) == text.substr(0, 4) && f.yday == day,
              "the board's day is not the day the text names");
    }
}

void durations(std::string_view text) {
    for (const sim::Sign sign : {sim::Sign::Refused, sim::Sign::Allowed}) {
        std::string why;
        const auto us = sim::parse_duration_us(text, sign, &why);
        const auto ns = library_ns(text, sign == sim::Sign::Allowed);
        if (us)
            check(ns && *ns == *us * 1000, "the simulator and the library read another duration");
        else
            check_reason(why);
        if (ns && *ns % 1000 == 0)
            check(us.has_value(), "a duration of whole microseconds is refused");
    }
}

void moments(std::string_view text) {
    std::string why;
    const std::size_t colon = text.find(':');
    if (const auto stop = sim::parse_stop_at(text, &why)) {
        check(library_ns(text.substr(0, colon), false) == stop->at_us * 1000,
              "a stand-still's moment is not the library's duration");
    } else {
        check_reason(why);
    }
    if (const auto jump = sim::parse_jump_at(text, &why)) {
        check(library_ns(text.substr(0, colon), false) == jump->at_us * 1000 &&
                  library_ns(text.substr(colon + 1), true) == jump->value_us * 1000,
              "a jump's moment or step is not the library's duration");
    } else {
        check_reason(why);
    }
}

void faults(std::string_view text) {
    std::string why;
    if (const auto f = sim::parse_status_at(text, &why)) {
        const std::size_t colon = text.find(':');
        const std::size_t second = text.find(':', colon + 1);
        check(library_ns(text.substr(0, colon), false) == f->at_us * 1000,
              "a status fault's moment is not the library's duration");
        check(second == std::string_view::npos
                  ? f->for_us == sim::kForever
                  : library_ns(text.substr(second + 1), false) == f->for_us * 1000,
              "a status fault's length is not the library's duration");
        check(f->bit == 8 || f->bit == 10 || f->bit == 12 || f->bit == 13,
              "a status bit forced that the board has not, or the compare flag");
    } else {
        check_reason(why);
    }
    if (const auto leap = sim::parse_leap_at(text, &why)) {
        check(leap->at_us % sim::kUsPerMinute == 0, "a leap second not before a whole minute");
        bool named = false;
        for (const std::string_view words :
             {"", ":insert", ":delete", ":60", ":repeat", ":insert:60", ":insert:repeat"})
            if (text.ends_with(words))
                named = named ||
                        sim::parse_time(text.substr(0, text.size() - words.size())) == leap->at_us;
        check(named, "a leap second's instant is not the start time its TIME names");
    } else {
        check_reason(why);
    }
}

// The settings whose parsing the checks above do not already cover: lists of moments, the
// bounds of each, and the settings of their own kind.
void settings(std::string_view text) {
    for (const char *name :
         {sim::kEnvBoards, sim::kEnvMemPath, sim::kEnvClock, sim::kEnvStep, sim::kEnvDrift,
          sim::kEnvStopAt, sim::kEnvJumpAt, sim::kEnvStatusAt, sim::kEnvLeapAt, sim::kEnvBusOrder,
          sim::kEnvExtPeriod, sim::kEnvExtSignal}) {
        sim::SimSettings s;
        std::string why;
        if (!sim::apply_setting(name, text, &s, &why))
            check_reason(why);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    start_times(text);
    durations(text);
    moments(text);
    faults(text);
    settings(text);
    return 0;
}
