// The board's register map: every register the library touches, where it lies in the
// 512-byte window, how many 32-bit words it has and whether its words pass through
// byte_swap on the way in and out. This table is the one place these facts live.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace korvic::regs {

inline constexpr std::uint32_t kWindowBytes = 512;
inline constexpr std::uint32_t kBridgeBytes = 128;
// PLX bridge interrupt control/status word, and the bits "ENABLE_INT" sets in it:
// local interrupt inputs 1 (bit 0) and 2 (bit 3), PCI interrupt enable (bit 6).
inline constexpr std::uint32_t kBridgeIntCsr = 0x4C;
inline constexpr std::uint32_t kBridgeIntEnable = 0x49;

enum class Reg : std::uint8_t {
    HwControl,
    HwStatus,
    TimeStatus,
    PositionFreeze,
    Config,
    Diag,
    LocalOffset,
    SyncOffset,
    TimeCompare,
    PresetTime,
    PresetPosition,
    ExternalEvent,
    SignalLevel,
};

struct RegisterInfo {
    Reg id;
    const char *name;
    std::uint32_t offset;  // byte offset of word 0 in the window
    std::uint32_t words;   // consecutive 32-bit words, word 0 at the lowest offset
    bool swap_reads;       // loaded words pass through byte_swap
    bool swap_writes;      // stored words pass through byte_swap
};

// clang-format off
inline constexpr RegisterInfo kRegisterMap[] = {
    // id                   name                      offset words swap-rd swap-wr
    {Reg::HwControl,      "hardware control",        0xF8,  1, true,  true },
    {Reg::HwStatus,       "hardware status",         0xFC,  1, true,  false},  // strobes unconverted
    {Reg::TimeStatus,     "time and status",         0xFC,  3, true,  false},
    {Reg::PositionFreeze, "position freeze",         0x108, 4, true,  false},
    {Reg::Config,         "configuration",           0x118, 1, true,  true },
    {Reg::Diag,           "diagnostic",              0x11C, 1, true,  false},
    {Reg::LocalOffset,    "local offset",            0x120, 1, true,  true },
    {Reg::SyncOffset,     "sync offset",             0x124, 1, true,  true },
    {Reg::TimeCompare,    "time compare",            0x138, 2, true,  true },
    {Reg::PresetTime,     "preset time",             0x158, 3, true,  true },
    {Reg::PresetPosition, "preset position",         0x164, 4, true,  false},  // written as given
    {Reg::ExternalEvent,  "external event",          0x174, 3, true,  false},
    {Reg::SignalLevel,    "signal level",            0x198, 7, true,  false},
};
// clang-format on

constexpr const RegisterInfo &info(Reg r) {
    return kRegisterMap[static_cast<std::size_t>(r)];
}

constexpr bool map_is_ordered() {
    for (std::size_t i = 0; i < std::size(kRegisterMap); ++i) {
        if (static_cast<std::size_t>(kRegisterMap[i].id) != i)
            return false;
        const auto &r = kRegisterMap[i];
        if (r.offset % 4 != 0 || r.offset + 4 * r.words > kWindowBytes)
            return false;
    }
    return true;
}
static_assert(map_is_ordered(), "kRegisterMap rows must follow enum Reg and fit the window");

// Strobes written to the hardware status word (0xFC), three times each, unconverted.
inline constexpr std::uint32_t kSnapshotStrobe = 0xFFFFFFFFu;
inline constexpr std::uint32_t kPositionFreezeStrobe = 0x000000FFu;
inline constexpr int kStrobeWrites = 3;

}  // namespace korvic::regs
