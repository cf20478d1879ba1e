#include "leap.h"

#include <fcntl.h>
#include <nettle/sha1.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "quoting.h"

namespace korvicd {

namespace {

constexpr std::int64_t kDay = 86'400;
constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// The next blank-separated word of s, taken off s.
std::string_view take_word(std::string_view &s) {
    s = trim(s);
    std::size_t n = 0;
    while (n < s.size() && !is_blank(s[n]))
        ++n;
    const std::string_view word = s.substr(0, n);
    s.remove_prefix(n);
    return word;
}

// A number of digits only (no sign, no blank inside) that fits; nothing otherwise.
std::optional<std::int64_t> number(std::string_view digits) {
    std::int64_t v = 0;
    if (digits.empty() || digits.size() > 12)
        return std::nullopt;
    for (char c : digits) {
        if (!is_digit(c))
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::string date_of(std::int64_t unix_seconds) {
    return korvic::format_time(korvic::utc_time{std::chrono::seconds{unix_seconds}}).substr(0, 10);
}

std::string hex_words(const std::array<std::uint32_t, 5> &w) {
    std::string s;
    for (const std::uint32_t v : w) {
        char word[12];
        std::snprintf(word, sizeof word, "%s%08x", s.empty() ? "" : " ", v);
        s += word;
    }
    return s;
}

}  // namespace

std::array<std::uint32_t, 5> leap_table_hash(std::string_view data) {
    sha1_ctx ctx{};
    sha1_init(&ctx);
    for (const char c : data)
        if (is_digit(c))
            sha1_update(&ctx, 1, reinterpret_cast<const std::uint8_t *>(&c));
    std::uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_digest(&ctx, sizeof digest, digest);
    std::array<std::uint32_t, 5> words{};
    for (std::size_t i = 0; i < SHA1_DIGEST_SIZE; ++i)
        words[i / 4] = words[i / 4] << 8 | digest[i];
    return words;
}

LeapParse parse_leap_table(std::string_view text) {
    LeapParse out;
    const auto broken = [&out](std::size_t line, const std::string &why) {
        out.problem = (line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + why;
        return out;
    };
    std::optional<std::int64_t> updated, expires;
    std::optional<std::array<std::uint32_t, 5>> hash;
    std::string updated_digits, expires_digits, data_digits;
    LeapTable t;
    bool started = false;
    int last_tai_utc = 0;
    std::int64_t last_at = 0;
    std::size_t line_no = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line_no;
        if (line.find('\0') != std::string_view::npos)
            return broken(line_no, "a NUL character");
        if (line.starts_with("#$") || line.starts_with("#@")) {
            const bool is_update = line[1] == '$';
            std::string_view rest = line.substr(2);
            const std::string_view word = take_word(rest);
            const auto v = number(word);
            const char *what = is_update ? "#$ (last update)" : "#@ (expiry)";
            if (!v || !trim(rest).empty())
                return broken(line_no, std::string(what) + " is not an NTP time");
            if ((is_update ? updated : expires).has_value())
                return broken(line_no, std::string(what) + " a second time");
            (is_update ? updated : expires) = *v - kNtpToUnix;
            (is_update ? updated_digits : expires_digits) = word;
            continue;
        }
        if (line.starts_with("#h")) {
            if (hash)
                return broken(line_no, "#h (hash) a second time");
            std::array<std::uint32_t, 5> words{};
            std::string_view rest = line.substr(2);
            for (std::uint32_t &w : words) {
                const std::string_view word = take_word(rest);
                const auto [ptr, ec] =
                    std::from_chars(word.data(), word.data() + word.size(), w, 16);
                if (word.empty() || word.size() > 8 || ec != std::errc{} ||
                    ptr != word.data() + word.size())
                    return broken(line_no, "#h (hash) is not five hexadecimal words");
            }
            if (!trim(rest).empty())
                return broken(line_no, "#h (hash) is not five hexadecimal words");
            hash = words;
            continue;
        }
        if (line.starts_with('#') || trim(line).empty())
            continue;
        std::string_view fields = line.substr(0, line.find('#'));
        const std::string_view time_word = take_word(fields);
        const std::string_view dtai_word = take_word(fields);
        const auto ntp = number(time_word);
        const auto dtai = number(dtai_word);
        if (!ntp || !dtai || !trim(fields).empty() || *dtai > 1000)
            return broken(line_no, "not \"NTP_TIME TAI-UTC [# comment]\"");
        const std::int64_t at = *ntp - kNtpToUnix;
        if (at % kDay != 0)
            return broken(line_no,
                          std::string(time_word) + " (" +
                              korvic::format_time(korvic::utc_time{std::chrono::seconds{at}}) +
                              ") is not a UTC midnight");
        const int tai_utc = static_cast<int>(*dtai);
        if (!started) {
            t.start = at;
            t.start_tai_utc = tai_utc;
            started = true;
        } else {
            if (at <= last_at)
                return broken(line_no, "not later than the line before");
            if (tai_utc != last_tai_utc + 1 && tai_utc != last_tai_utc - 1)
                return broken(line_no, "TAI-UTC goes from " + std::to_string(last_tai_utc) +
                                           " to " + std::to_string(tai_utc) +
                                           ": a leap second changes it by one");
            t.leaps.push_back(
                {at, tai_utc, tai_utc > last_tai_utc ? LeapKind::insert : LeapKind::remove});
        }
        last_at = at;
        last_tai_utc = tai_utc;
        data_digits += time_word;
        data_digits += dtai_word;
    }
    if (!started)
        return broken(0, "no leap second lines");
    if (!updated)
        return broken(0, "no #$ line (last update)");
    if (!expires)
        return broken(0, "no #@ line (expiry)");
    if (!hash)
        return broken(0, "no #h line (hash)");
    const std::array<std::uint32_t, 5> made =
        leap_table_hash(updated_digits + expires_digits + data_digits);
    if (made != *hash)
        return broken(0, "its hash " + hex_words(*hash) + " is not that of its data (" +
                             hex_words(made) + "): changed or cut");
    t.updated = *updated;
    t.expires = *expires;
    out.table = std::move(t);
    return out;
}

LeapInfo leap_info(const LeapTable &table, korvic::system_time t) {
    using std::chrono::floor;
    using std::chrono::seconds;
    const std::int64_t day_end =
        (floor<std::chrono::days>(t).time_since_epoch() + std::chrono::days{1}) / seconds{1};
    LeapInfo info;
    info.expired = t >= korvic::system_time{seconds{table.expires}};
    for (const LeapSecond &l : table.leaps)
        if (l.at == day_end)
            info.leap = l.kind == LeapKind::insert ? 1 : 2;
    info.near = leap_near(table, t).has_value();
    return info;
}

std::vector<LeapSecond> leaps_between(const LeapTable &table, korvic::system_time from,
                                      korvic::system_time to) {
    std::vector<LeapSecond> out;
    for (const LeapSecond &l : table.leaps) {
        const korvic::system_time at{std::chrono::seconds{l.at}};
        if (from < at && at <= to)
            out.push_back(l);
    }
    return out;
}

std::optional<LeapSecond> leap_near(const LeapTable &table, korvic::system_time t) {
    using std::chrono::seconds;
    for (const LeapSecond &l : table.leaps) {
        const korvic::system_time at{seconds{l.at}};
        if (t >= at - seconds{1} && t <= at + seconds{1})
            return l;
    }
    return std::nullopt;
}

std::string describe_leap(const LeapSecond &l) {
    return std::string("the leap second ") + (l.kind == LeapKind::insert ? "inserted" : "deleted") +
           " at the end of " + date_of(l.at - kDay);
}

LeapLoad load_leap_table(const std::string &path, korvic::system_time now) {
    LeapLoad out;
    const std::string head = "leap second table " + korvic::detail::shown(path);
    const auto refused = [&](const std::string &why) {
        out.line = head + " not used: " + why;
        return out;
    };
    // Without blocking: a FIFO named here must not hold korvicd up.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return refused(std::strerror(errno));
    struct stat st {};
    std::string text;
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return refused("not a regular file");
    } else if (st.st_size > static_cast<off_t>(kMaxFileBytes)) {
        ::close(fd);
        return refused("longer than " + std::to_string(kMaxFileBytes) + " bytes");
    } else {
        text.resize(kMaxFileBytes + 1);
        std::size_t got = 0;
        for (;;) {
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                error = errno;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
            if (got == text.size())
                break;
        }
        text.resize(got);
    }
    ::close(fd);
    if (error != 0)
        return refused(std::strerror(error));
    if (text.size() > kMaxFileBytes)
        return refused("longer than " + std::to_string(kMaxFileBytes) + " bytes");
    LeapParse parsed = parse_leap_table(text);
    if (!parsed.table)
        return refused(parsed.problem);
    const LeapTable &t = *parsed.table;
    if (now >= korvic::system_time{std::chrono::seconds{t.expires}})
        return refused("expired on " + date_of(t.expires) +
                       " (a newer one comes with tzdata, or from IERS)");
    const std::size_t n = t.leaps.size();
    out.line = head + ": " + std::to_string(n) + (n == 1 ? " leap second" : " leap seconds") +
               (n == 0 ? "" : ", the last at the end of " + date_of(t.leaps.back().at - kDay)) +
               ", expires " + date_of(t.expires);
    out.table = std::move(parsed.table);
    return out;
}

}  // namespace korvicd
