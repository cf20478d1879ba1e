// The leap second table: the leap-seconds.list file that IERS publishes and tzdata
// installs, and what it says about an instant. The parser and the questions are pure;
// load_leap_table() adds the reading of the file and the check of its expiry.
//
// The format: comment lines begin with '#'; three of them carry data: "#$ N" the NTP time
// of the last update, "#@ N" the NTP time the table expires at, "#h H H H H H" the SHA-1
// of the table as five hexadecimal words. Every other line is "NTP_TIME TAI-UTC [# text]":
// from NTP_TIME (seconds since 1900, a UTC midnight) on, TAI - UTC is that many seconds.
// The first such line starts the table (1972); each later one is a leap second that ends
// just before its NTP_TIME: inserted when TAI - UTC grows by one, deleted when it shrinks
// by one. The hash is over the digits of the "#$" number, the "#@" number, then the two
// numbers of every leap line in order, nothing else (no blanks, no comments).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvic/board.hpp"

namespace korvicd {

// The file that tzdata installs: korvicd's table when --leap-file is not given.
inline constexpr const char *kSystemLeapFile = "/usr/share/zoneinfo/leap-seconds.list";

// Seconds from 1900-01-01 (the NTP epoch) to 1970-01-01.
inline constexpr std::int64_t kNtpToUnix = 2'208'988'800;

enum class LeapKind : std::uint8_t { insert, remove };

// One leap second: `at` is the UTC instant it ends at (00:00:00 of the day after it, in
// seconds since 1970), `tai_utc` TAI - UTC from then on.
struct LeapSecond {
    std::int64_t at = 0;
    int tai_utc = 0;
    LeapKind kind = LeapKind::insert;

    friend bool operator==(const LeapSecond &, const LeapSecond &) = default;
};

struct LeapTable {
    std::int64_t start = 0;  // the first line's instant (seconds since 1970)
    int start_tai_utc = 0;   // and its TAI - UTC
    std::vector<LeapSecond> leaps;
    std::int64_t updated = 0;  // "#$", seconds since 1970
    std::int64_t expires = 0;  // "#@", seconds since 1970
};

// A table, or the reason there is none (one line, naming the line of the file at fault).
struct LeapParse {
    std::optional<LeapTable> table;
    std::string problem;
};

// Parses the text of a leap-seconds.list and checks it: the three data comments once each,
// numbers that are digits only, lines in order of time, each at a UTC midnight, TAI - UTC
// changing by one second at a time, and the hash. Expiry is not looked at here.
LeapParse parse_leap_table(std::string_view text);

// The SHA-1 of the digits of `data`, in order (whatever else it holds is skipped), as the
// "#h" line gives it: five 32-bit words.
std::array<std::uint32_t, 5> leap_table_hash(std::string_view data);

// What the table says about the instant t (UTC, on either clock):
//   leap     the SOCK and SHM leap field for t: 1 when t's UTC day ends with an inserted
//            second, 2 with a deleted one, else 0 (as chronyd and ntpd read it);
//   near     t lies within 1 s of a leap second's instant (its end), either side;
//   expired  t is at or after the table's expiry: a leap second announced since is not
//            known (what the table lists is still said).
struct LeapInfo {
    int leap = 0;
    bool near = false;
    bool expired = false;

    friend bool operator==(const LeapInfo &, const LeapInfo &) = default;
};
LeapInfo leap_info(const LeapTable &table, korvic::system_time t);

// The leap seconds of the table whose instants a clock ran across from `from` to `to`
// (from < at <= to), in order: none when `to` is not after `from`.
std::vector<LeapSecond> leaps_between(const LeapTable &table, korvic::system_time from,
                                      korvic::system_time to);

// The leap second whose instant t lies within 1 s of, either side (leap_info()'s near).
std::optional<LeapSecond> leap_near(const LeapTable &table, korvic::system_time t);

// "the leap second inserted at the end of 2016-12-31" ("deleted" for a deleted one).
std::string describe_leap(const LeapSecond &l);

// The table of `path` as korvicd takes it, at the system time `now`: read without blocking
// (a regular file of at most 64 KiB), parsed, and refused when expired. `line` is the one
// line to log either way: "leap second table PATH: 27 leap seconds, the last at the end of
// 2016-12-31, expires 2026-06-28", or "leap second table PATH not used: REASON".
struct LeapLoad {
    std::optional<LeapTable> table;
    std::string line;
};
LeapLoad load_leap_table(const std::string &path, korvic::system_time now);

}  // namespace korvicd
