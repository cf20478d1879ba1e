// The board's packed-BCD time layouts, one table per register group: which decimal digit
// each nibble of bytes L[0]..L[11] holds. Word k of a group is
// L[4k] << 24 | L[4k+1] << 16 | L[4k+2] << 8 | L[4k+3], as the board presents it on a bus
// in native order.
//
// These tables and the encoder/decoder in board.cpp are the board's own; they serve as the
// reference that the library's codec is tested against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

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

// Where each digit of a layout goes: the field of a BoardFields it counts in and what one
// unit of the digit is worth there. One table for encoding and decoding alike; None and
// Extra (the group's 4-bit extra) have no field.
struct DigitPlace {
    std::int32_t BoardFields::*field;
    std::int32_t weight;
};

inline constexpr DigitPlace kDigitPlaces[] = {
    {nullptr, 0},                      // None
    {&BoardFields::microsecond, 1},    // Us1
    {&BoardFields::microsecond, 10},   // Us10
    {&BoardFields::microsecond, 100},  // Us100
    {&BoardFields::millisecond, 1},    // Ms1
    {&BoardFields::millisecond, 10},   // Ms10
    {&BoardFields::millisecond, 100},  // Ms100
    {&BoardFields::second, 1},         // S1
    {&BoardFields::second, 10},        // S10
    {&BoardFields::minute, 1},         // Min1
    {&BoardFields::minute, 10},        // Min10
    {&BoardFields::hour, 1},           // H1
    {&BoardFields::hour, 10},          // H10
    {&BoardFields::yday, 1},           // D1
    {&BoardFields::yday, 10},          // D10
    {&BoardFields::yday, 100},         // D100
    {&BoardFields::year, 1},           // Y1
    {&BoardFields::year, 10},          // Y10
    {&BoardFields::year, 100},         // Y100
    {&BoardFields::year, 1000},        // Y1000
    {nullptr, 0},                      // Extra
};
static_assert(std::size(kDigitPlaces) == static_cast<std::size_t>(Digit::Extra) + 1,
              "one place per digit");

// Encodes `f` (and the 4-bit extra) into `words` words by `layout`; bytes the layout leaves
// at None are 0.
void encode_layout(const Layout &layout, const BoardFields &f, std::uint32_t extra,
                   std::uint32_t *words, int count);

// The fields that the digits of `words` give (fields the layout lacks are 0, the year
// included); nibbles above 9 count with their binary value, as the board's counters would
// take them. The group's 4-bit extra goes to *extra when asked for.
BoardFields decode_layout(const Layout &layout, const std::uint32_t *words, int count,
                          std::uint32_t *extra = nullptr);

}  // namespace korvic::sim
