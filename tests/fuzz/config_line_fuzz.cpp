// Fuzzes korvic::config::parse_line, the pure parser of one korvic_cfg.dat line, and checks
// each result against an independent reading of the same line: the key is the one whose
// text begins the line, a number is what strtol/strtoul make of the rest when it fits
// 32 bits, and nothing otherwise, a path is the first blank-free word after the key and fits its
// buffer.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config.h"
#include "fuzz_check.h"

namespace {

using korvic::config::Key;
using korvic::config::Setting;

enum class Value : std::uint8_t { Signed, Unsigned, Path, None };

struct Expected {
    const char *text;
    Key key;
    Value value;
};

constexpr Expected kKeys[] = {
    {"DAY_OFF=", Key::DayOff, Value::Signed},     {"MEM_PATH=", Key::MemPath, Value::Path},
    {"INT_PATH=", Key::IntPath, Value::Path},     {"SEC_OFF=", Key::SecOff, Value::Unsigned},
    {"TZ_OFF=", Key::TzOff, Value::Unsigned},     {"ENABLE_INT", Key::EnableInt, Value::None},
    {"BYTE_SWAP=", Key::ByteSwap, Value::Signed}, {"UIO_PATH=", Key::UioPath, Value::Path},
};

using korvic::fuzz::check;

bool blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

const Expected *expected_key(const char *line) {
    if (line[0] == '#' || line[0] == '\0')
        return nullptr;
    const Expected *found = nullptr;
    for (const Expected &e : kKeys) {
        if (std::strncmp(line, e.text, std::strlen(e.text)) == 0) {
            check(found == nullptr, "two keys begin the same line");
            found = &e;
        }
    }
    return found;
}

void check_number(const Expected &e, const char *rest, const Setting &s) {
    const char *first = rest;
    while (blank(*first))
        ++first;
    const bool minus = *first == '-';
    errno = 0;
    char *end = nullptr;
    if (e.value == Value::Signed) {
        const long v = std::strtol(rest, &end, 10);
        const bool in_range = errno == 0 && v >= INT32_MIN && v <= INT32_MAX;
        check(s.converted == (end != rest && in_range), "signed value: converted disagrees");
        if (s.converted)
            check(s.number == v, "signed value differs from strtol");
    } else {
        const unsigned long v = std::strtoul(rest, &end, 10);
        // strtoul negates a leading minus in its own width: -3600 is 2^64 - 3600, whose low
        // 32 bits are the two's complement the setting must hold. A magnitude beyond 32
        // bits does not convert.
        const bool in_range =
            errno == 0 && (minus ? v == 0 || v > ULONG_MAX - UINT32_MAX : v <= UINT32_MAX);
        check(s.converted == (end != rest && in_range), "unsigned value: converted disagrees");
        if (s.converted)
            check(s.number == static_cast<std::int32_t>(static_cast<std::uint32_t>(v)),
                  "unsigned value differs from strtoul");
    }
    if (!s.converted)
        check(s.number == 0, "a value that did not convert was stored");
}

void check_path(const char *rest, const Setting &s) {
    const void *end = std::memchr(s.path, '\0', sizeof s.path);
    check(end != nullptr, "path is not terminated inside its buffer");
    const std::size_t n = std::strlen(s.path);
    while (blank(*rest))
        ++rest;
    const bool word = *rest != '\0';
    check(s.converted == word, "path: converted disagrees with the line");
    if (!s.converted) {
        check(n == 0, "a path that did not convert was stored");
        return;
    }
    check(n > 0 && n < sizeof s.path, "path length out of range");
    check(std::strncmp(rest, s.path, n) == 0, "path is not the word after the key");
    for (std::size_t i = 0; i < n; ++i)
        check(!blank(s.path[i]), "path holds a blank");
    check(n == sizeof s.path - 1 || rest[n] == '\0' || blank(rest[n]), "path stops mid-word");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The line as fgets hands it over: terminated, possibly with NULs and a newline inside.
    // A buffer of exactly that size on the heap, so that AddressSanitizer sees any read
    // past the terminator.
    const std::unique_ptr<char[]> copy(new char[size + 1]);
    std::memcpy(copy.get(), data, size);
    copy[size] = '\0';
    const char *line = copy.get();
    const Setting s = korvic::config::parse_line(line);

    const Expected *e = expected_key(line);
    if (e == nullptr) {
        check(s.key == Key::None && !s.converted && s.number == 0 && s.path[0] == '\0',
              "a line with no key set something");
        return 0;
    }
    check(s.key == e->key, "wrong key");
    const char *rest = line + std::strlen(e->text);
    switch (e->value) {
        case Value::Signed:
        case Value::Unsigned:
            check(s.path[0] == '\0', "a number key stored a path");
            check_number(*e, rest, s);
            break;
        case Value::Path:
            check(s.number == 0, "a path key stored a number");
            check_path(rest, s);
            break;
        case Value::None:
            check(s.converted && s.number == 0 && s.path[0] == '\0', "ENABLE_INT carries a value");
            break;
    }
    return 0;
}
