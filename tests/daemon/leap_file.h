// Leap second tables for korvicd's tests, written as IERS writes leap-seconds.list: the
// "#$" update and "#@" expiry lines, the "#h" hash, and one line per entry. The hash is made
// here from the format's own rule, on its own: SHA-1 over the digits of the "#$" number, of
// the "#@" number, and of each entry's NTP time and TAI-UTC, in that order.
#pragma once

#include <nettle/sha1.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvicd_test {

inline constexpr std::int64_t kNtpEpochToUnix = 2'208'988'800;

struct LeapLine {
    std::int64_t at;  // seconds since 1970, a UTC midnight
    int tai_utc;      // TAI - UTC from then on
};

// The "#h" words of `digits` hashed as they are.
inline std::string hash_words(const std::string &digits) {
    sha1_ctx ctx{};
    sha1_init(&ctx);
    sha1_update(&ctx, digits.size(), reinterpret_cast<const std::uint8_t *>(digits.data()));
    std::uint8_t d[SHA1_DIGEST_SIZE];
    sha1_digest(&ctx, sizeof d, d);
    std::string out;
    for (int w = 0; w < 5; ++w) {
        char word[12];
        std::snprintf(word, sizeof word, "%s%02x%02x%02x%02x", w == 0 ? "" : " ", d[4 * w],
                      d[4 * w + 1], d[4 * w + 2], d[4 * w + 3]);
        out += word;
    }
    return out;
}

// A whole table: comments as the real file has them, then the lines, updated and expiring
// at the given instants (seconds since 1970).
inline std::string leap_seconds_list(const std::vector<LeapLine> &lines, std::int64_t updated,
                                     std::int64_t expires) {
    const std::string update = std::to_string(updated + kNtpEpochToUnix);
    const std::string expiry = std::to_string(expires + kNtpEpochToUnix);
    std::string digits = update + expiry, body;
    for (const LeapLine &l : lines) {
        const std::string ntp = std::to_string(l.at + kNtpEpochToUnix);
        digits += ntp + std::to_string(l.tai_utc);
        body += ntp + "\t" + std::to_string(l.tai_utc) + "\t# a test line\n";
    }
    return "#\tA leap second table for korvicd's tests\n#\n"
           "#\tThe following line shows the last update of this file in NTP timestamp:\n"
           "#$\t" +
           update +
           "\n#\n#\tExpire date in NTP timestamp:\n"
           "#@\t" +
           expiry + "\n#\n#NTP Time      DTAI    Day Month Year\n#\n" + body +
           "#\n#\tA hash code has been generated to be able to verify the integrity\n"
           "#h\t" +
           hash_words(digits) + "\n";
}

}  // namespace korvicd_test
