// The board's packed-BCD time layouts, one table per register group: which decimal digit
// each nibble of bytes L[0]..L[11] holds. Word k of a group is
// L[4k] << 24 | L[4k+1] << 16 | L[4k+2] << 8 | L[4k+3], as the board presents it on a bus
// in native order.
//
// These tables and the encoder/decoder in board.cpp are the board's own; they serve as the
// reference that the library's codec is tested against.
#pragma once

#include <array>
#include <cstdint>

#include "calendar.h"

namespace korvic::sim {

enum class Digit : std::uint8_t {
    None,  // not driven by a time digit (reads 0 unless the group says otherwise)
    Us1,
    Us10,
    Us100,
    Ms1,
    Ms10,
    Ms100,
    S1,
    S10,
    Min1,
    Min10,
    H1,
    H10,
    D1,
    D10,
    D100,
    Y1,
    Y10,
    Y100,
    Y1000,
    Extra,  // the group's 4-bit extra: status nibble, compare mask or event counter
};

struct ByteDigits {
    Digit hi;  // bits 7..4
    Digit lo;  // bits 3..0
};

using Layout = std::array<ByteDigits, 12>;

namespace layouts {
using enum Digit;

// Time-and-status register. L[2] carries the live status bits and L[3] is 0; both are
// filled by the board, not from the table. Extra = status nibble.
inline constexpr Layout kTimeStatusLayout = {{
    {Us10, Us1},
    {Ms1, Us100},
    {None, None},
    {None, None},
    {Ms100, Ms10},
    {S10, S1},
    {Min10, Min1},
    {H10, H1},
    {D10, D1},
    {Extra, D100},
    {Y10, Y1},
    {Y1000, Y100},
}};

// External event register. Extra = count of captured events, modulo 16.
inline constexpr Layout kExternalEventLayout = {{
    {Us10, Us1},
    {Ms1, Us100},
    {Ms100, Ms10},
    {S10, S1},
    {Min10, Min1},
    {H10, H1},
    {D10, D1},
    {Extra, D100},
    {Y10, Y1},
    {Y1000, Y100},
    {None, None},
    {None, None},
}};

// Preset time register: no microseconds (the board ignores those nibbles when it loads).
inline constexpr Layout kPresetTimeLayout = {{
    {None, None},
    {Ms1, None},
    {Ms100, Ms10},
    {S10, S1},
    {Min10, Min1},
    {H10, H1},
    {D10, D1},
    {None, D100},
    {Y10, Y1},
    {Y1000, Y100},
    {None, None},
    {None, None},
}};

// Time compare register: two words, no year. Extra = compare mask.
inline constexpr Layout kCompareLayout = {{
    {Us10, Us1},
    {Ms1, Us100},
    {Ms100, Ms10},
    {S10, S1},
    {Min10, Min1},
    {H10, H1},
    {D10, D1},
    {Extra, D100},
    {None, None},
    {None, None},
    {None, None},
    {None, None},
}};

}  // namespace layouts

using layouts::kCompareLayout;
using layouts::kExternalEventLayout;
using layouts::kPresetTimeLayout;
using layouts::kTimeStatusLayout;

// Fields of a time as the board's digits give them. Nibbles above 9 count with their binary
// value, as the board's counters would take them.
struct DigitFields {
    std::int32_t year = 0, yday = 0, hour = 0, minute = 0, second = 0;
    std::int32_t millisecond = 0, microsecond = 0;
    std::uint32_t extra = 0;
};

// Encodes `f` (and the 4-bit extra) into `words` words by `layout`; bytes the layout leaves
// at None are 0.
void encode_layout(const Layout &layout, const BoardFields &f, std::uint32_t extra,
                   std::uint32_t *words, int count);
DigitFields decode_layout(const Layout &layout, const std::uint32_t *words, int count);

}  // namespace korvic::sim
