// Bit layouts of the hardware control, configuration and hardware status registers: for
// each register, one table from selector to the field's lowest bit and width. Bit numbers
// count in the word as byte_swap returns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "korvic_api.h"

namespace korvic::fields {

struct Field {
    std::uint8_t low;    // lowest bit of the field
    std::uint8_t width;  // bits
};

// Hardware control register (0xF8), write only: selector n is bit 24 + n.
inline constexpr Field kHwControl[] = {
    {24, 1},  // 0
    {25, 1},  // 1: compare-event clear bit (write 1 after a time-compare event)
    {26, 1},  // 2
    {27, 1},  // 3
    {28, 1},  // 4
    {29, 1},  // 5
};

// Configuration register (0x118): selectors 0..8 run down from bit 31, 9 and 10 are
// four-bit fields. Bits 22-20, 15-8 and 3-0 have no selector.
inline constexpr Field kConfig[] = {
    {31, 1},  // 0
    {30, 1},  // 1
    {29, 1},  // 2
    {28, 1},  // 3
    {27, 1},  // 4: timer stop bit (1 stops the board's timer, 0 lets it run)
    {26, 1},  // 5: preset load bit (the board takes the preset time as its new time)
    {25, 1},  // 6
    {24, 1},  // 7
    {23, 1},  // 8
    {16, 4},  // 9: bits 19-16
    {4, 4},   // 10: bits 7-4
};

// Hardware status register (0xFC, word 0 of the time-and-status register), read only.
// Bit 11 has no selector.
inline constexpr Field kHwStatus[] = {
    {13, 1},  // 0
    {12, 1},  // 1
    {10, 1},  // 2
    {9, 1},   // 3: time-compare event flag
    {8, 1},   // 4
};

// Selectors with a meaning of their own, as the public header names them.
inline constexpr std::int32_t kCompareEventClear = KORVIC_HW_CTL_COMPARE_CLEAR;  // kHwControl
inline constexpr std::int32_t kTimerStop = KORVIC_CONF_TIMER_STOP;               // kConfig
inline constexpr std::int32_t kPresetLoad = KORVIC_CONF_PRESET_LOAD;             // kConfig
inline constexpr std::int32_t kCompareEvent = KORVIC_HW_STAT_COMPARE_EVENT;      // kHwStatus
static_assert(kHwControl[kCompareEventClear].low == 25 && kConfig[kTimerStop].low == 27 &&
                  kConfig[kPresetLoad].low == 26 && kHwStatus[kCompareEvent].low == 9,
              "the named selectors select the bits the board gives these meanings");

// Result of a bit-field call whose selector is out of range.
inline constexpr std::int32_t kBadSelector = 15;

// The field a selector names, or nullptr. The selector is taken as unsigned, so a
// negative one is out of range.
template <std::size_t N>
constexpr const Field *lookup(const Field (&table)[N], std::int32_t selector) {
    const auto index = static_cast<std::uint32_t>(selector);
    return index < N ? &table[index] : nullptr;
}

// The field's bits in place, and the value's bits that fit the field.
constexpr std::uint32_t value_mask(Field f) {
    return (std::uint32_t{1} << f.width) - 1u;
}
constexpr std::uint32_t place_mask(Field f) {
    return value_mask(f) << f.low;
}

constexpr std::uint32_t extract(std::uint32_t word, Field f) {
    return (word >> f.low) & value_mask(f);
}
constexpr std::uint32_t insert(std::uint32_t word, Field f, std::uint32_t value) {
    return (word & ~place_mask(f)) | ((value & value_mask(f)) << f.low);
}

// No two fields of a register overlap, and all fit in 32 bits.
template <std::size_t N>
constexpr bool disjoint(const Field (&table)[N]) {
    std::uint32_t seen = 0;
    for (const Field &f : table) {
        if (f.width == 0 || f.low + f.width > 32 || (seen & place_mask(f)) != 0)
            return false;
        seen |= place_mask(f);
    }
    return true;
}
static_assert(disjoint(kHwControl) && disjoint(kConfig) && disjoint(kHwStatus));

}  // namespace korvic::fields
