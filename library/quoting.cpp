// Arguments and messages made safe to print: see quoting.h.
#include "quoting.h"

#include <cstdint>
#include <filesystem>

namespace korvic::detail {
namespace {

// One character of the text: its bytes, and its code point (-1: a byte that is not UTF-8).
struct Unit {
    std::size_t size;
    std::int32_t code;
};

bool continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// The character at the front of s (not empty), by the well-formed UTF-8 sequences: no
// overlong forms, no surrogates, nothing above U+10FFFF.
Unit next_unit(std::string_view s) {
    // cppcheck-suppress containerOutOfBounds ; every caller loops while its text is not empty
    const auto b = static_cast<unsigned char>(s[0]);
    if (b < 0x80)
        return {1, b};
    std::size_t size = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    std::int32_t code = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        size = 2;
        code = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        size = 3;
        code = b & 0x0F;
        low = b == 0xE0 ? 0xA0 : 0x80;
        high = b == 0xED ? 0x9F : 0xBF;
    } else if (b >= 0xF0 && b <= 0xF4) {
        size = 4;
        code = b & 0x07;
        low = b == 0xF0 ? 0x90 : 0x80;
        high = b == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, -1};
    }
    if (s.size() < size)
        return {1, -1};
    for (std::size_t i = 1; i < size; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (!continuation(c) || (i == 1 && (c < low || c > high)))
            return {1, -1};
        code = (code << 6) | (c & 0x3F);
    }
    return {size, code};
}

// Characters a terminal acts on, or that change how the rest of a line reads.
bool is_control(std::int32_t code) {
    return code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F) ||
           (code >= 0x2028 && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

void put_hex(std::string &out, unsigned char b) {
    out += "\\x";
    out += "0123456789abcdef"[b >> 4];
    out += "0123456789abcdef"[b & 0xF];
}

constexpr std::string_view kNamed = "\a\b\t\n\v\f\r\x1b";
constexpr std::string_view kNames = "abtnvfre";

// The letter of a control character's named escape (\n for a newline), or 0.
char named(std::int32_t code) {
    const auto at =
        code >= 0 && code < 0x20 ? kNamed.find(static_cast<char>(code)) : std::string_view::npos;
    return at != std::string_view::npos ? kNames[at] : '\0';
}

bool escapes(const Unit &u) {
    return u.code < 0 || is_control(u.code);
}

// The columns one character takes as a message shows it: an escape its characters, a
// character itself one.
std::size_t width(const Unit &u, bool escape_quotes) {
    if (escapes(u))
        return named(u.code) != '\0' ? 2 : 4 * u.size;
    return escape_quotes && (u.code == '"' || u.code == '\\') ? 2 : 1;
}

// One character as a message shows it: its escape, or itself.
void put(std::string &out, std::string_view bytes, const Unit &u, bool escape_quotes) {
    if (escapes(u)) {
        if (const char letter = named(u.code); letter != '\0') {
            out += '\\';
            out += letter;
        } else {
            for (const char c : bytes)
                put_hex(out, static_cast<unsigned char>(c));
        }
    } else if (escape_quotes && (u.code == '"' || u.code == '\\')) {
        out += '\\';
        out += static_cast<char>(u.code);
    } else {
        out += bytes;
    }
}

// `text` escaped; when that is wider than `limit` columns, only as much of its beginning
// and of its end as fits `ends` columns each, with "..." between.
std::string escaped(std::string_view text, bool escape_quotes, std::size_t limit,
                    std::size_t ends) {
    std::size_t total = 0;
    for (std::string_view rest = text; !rest.empty();) {
        const Unit u = next_unit(rest);
        total += width(u, escape_quotes);
        rest.remove_prefix(u.size);
    }
    const bool shorten = total > limit;
    std::string out;
    std::size_t before = 0;  // the columns of the characters before this one
    bool cut = false;
    for (std::string_view rest = text; !rest.empty();) {
        const Unit u = next_unit(rest);
        const std::size_t w = width(u, escape_quotes);
        if (!shorten || before + w <= ends || total - before <= ends) {
            put(out, rest.substr(0, u.size), u, escape_quotes);
        } else if (!cut) {
            out += "...";
            cut = true;
        }
        before += w;
        rest.remove_prefix(u.size);
    }
    return out;
}

}  // namespace

std::string quote(std::string_view text) {
    return "\"" + shown(text) + "\"";
}

std::string shown(std::string_view text) {
    return escaped(text, true, kShownLength, kShownEnds);
}

std::string printable(std::string_view message, std::size_t longest) {
    return escaped(message, false, longest, longest / 2 - 2);
}

std::string message_of(const std::exception &e) {
    std::string what = e.what();
    const auto *fs = dynamic_cast<const std::filesystem::filesystem_error *>(&e);
    if (fs == nullptr)
        return printable(what);
    constexpr std::string_view kPrefix = "filesystem error: ";
    if (what.starts_with(kPrefix))
        what.erase(0, kPrefix.size());
    // The C++ library puts each path that is not empty after the text, in brackets.
    std::string raw, paths;
    for (const std::filesystem::path *p : {&fs->path1(), &fs->path2()}) {
        if (p->empty())
            continue;
        raw += " [" + p->string() + "]";
        paths += " [" + shown(p->string()) + "]";
    }
    if (!what.ends_with(raw))
        return printable(what);
    what.resize(what.size() - raw.size());
    return printable(what) + paths;
}

}  // namespace korvic::detail
