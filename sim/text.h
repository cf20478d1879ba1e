// Fixed-capacity text for the simulator's notes and trace lines: built inside the MMIO
// signal handlers, so no allocation, no locale, no stdio. Output that does not fit is cut:
// users size their texts so that it never happens (board_notes.h, trace.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "calendar.h"

namespace korvic::sim {

template <std::size_t N>
class FixedText {
  public:
    FixedText &add(std::string_view s) {
        for (char c : s)
            put(c);
        return *this;
    }
    FixedText &add(char c) {
        put(c);
        return *this;
    }
    // Decimal, zero-padded to `width` digits.
    FixedText &dec(std::int64_t v, int width = 0) {
        std::uint64_t u = v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
        if (v < 0)
            put('-');
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + u % 10);
            u /= 10;
        } while (u != 0);
        for (int i = n; i < width; ++i)
            put('0');
        while (n > 0)
            put(digits[--n]);
        return *this;
    }
    // "0x" and exactly `digits` hex digits.
    FixedText &hex(std::uint32_t v, int digits = 8) {
        add("0x");
        for (int i = digits - 1; i >= 0; --i)
            put("0123456789abcdef"[(v >> (4 * i)) & 0xF]);
        return *this;
    }
    // A board time as "YYYY-DDD hh:mm:ss.ffffff" (day of year from 0); with
    // `micro` false the fraction stops at milliseconds.
    FixedText &time(std::int64_t us, bool micro = true) {
        const BoardFields f = from_us(us);
        return fields(f, micro);
    }
    FixedText &fields(const BoardFields &f, bool micro = true) {
        dec(f.year, 4).add('-').dec(f.yday, 3).add(' ');
        dec(f.hour, 2).add(':').dec(f.minute, 2).add(':').dec(f.second, 2).add('.');
        dec(f.millisecond, 3);
        if (micro)
            dec(f.microsecond, 3);
        return *this;
    }
    // Separator between two effects of one access.
    FixedText &then() {
        if (len_ != 0)
            add("; ");
        return *this;
    }

    std::string_view view() const { return {buf_, len_}; }
    const char *data() const { return buf_; }
    std::size_t size() const { return len_; }
    bool empty() const { return len_ == 0; }
    void clear() { len_ = 0; }

  private:
    void put(char c) {
        if (len_ < N)
            buf_[len_++] = c;
    }
    char buf_[N] = {};
    std::size_t len_ = 0;
};

}  // namespace korvic::sim
