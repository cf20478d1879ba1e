// The simulated board's register map, as the board names its registers: one row per
// register group, word 0 at the lowest offset. Offsets not covered here read 0 and ignore
// writes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace korvic::sim {

inline constexpr std::uint32_t kBoardWindowBytes = 512;
inline constexpr std::uint32_t kBridgeWindowBytes = 128;
inline constexpr std::uint32_t kBridgeIntCsrOffset = 0x4C;

enum class BoardReg : std::uint8_t {
    HwControl,       // control bits; bit 25 clears the compare event flag
    TimeStatus,      // word 0: latched sub-second digits + live status; strobe target
    PositionFreeze,  // latched by the position freeze strobe
    Config,          // bit 27 timer stop, bit 26 preset load
    Diagnostic,      // identification and self-test result
    LocalOffset,     // holds what is written
    SyncOffset,      // holds what is written
    Compare,         // compare time and 4-bit mask
    PresetTime,      // loaded as board time by config bit 26
    PresetPosition,  // holds what is written; base of the position counter
    ExternalEvent,   // time of the last external event
    SignalLevel,     // input levels in millivolts
};

enum class Access : std::uint8_t { ReadOnly, ReadWrite };

struct BoardRegInfo {
    BoardReg id;
    const char *name;  // trace name; a group's words get their index appended
    std::uint32_t offset;
    std::uint32_t words;
    Access access;
};

// clang-format off
inline constexpr BoardRegInfo kBoardMap[] = {
    {BoardReg::HwControl,      "HW_CTL",       0x0F8, 1, Access::ReadWrite},
    {BoardReg::TimeStatus,     "TIME_STATUS",  0x0FC, 3, Access::ReadOnly},  // 0xFC also strobes
    {BoardReg::PositionFreeze, "POS_FREEZE",   0x108, 4, Access::ReadOnly},
    {BoardReg::Config,         "CONFIG",       0x118, 1, Access::ReadWrite},
    {BoardReg::Diagnostic,     "DIAG",         0x11C, 1, Access::ReadOnly},
    {BoardReg::LocalOffset,    "LOCAL_OFFSET", 0x120, 1, Access::ReadWrite},
    {BoardReg::SyncOffset,     "SYNC_OFFSET",  0x124, 1, Access::ReadWrite},
    {BoardReg::Compare,        "COMPARE",      0x138, 2, Access::ReadWrite},
    {BoardReg::PresetTime,     "PRESET_TIME",  0x158, 3, Access::ReadWrite},
    {BoardReg::PresetPosition, "PRESET_POS",   0x164, 4, Access::ReadWrite},
    {BoardReg::ExternalEvent,  "EXT_EVENT",    0x174, 3, Access::ReadOnly},
    {BoardReg::SignalLevel,    "SIGNAL_LEVEL", 0x198, 7, Access::ReadOnly},
};
// clang-format on

constexpr const BoardRegInfo &board_reg(BoardReg r) {
    return kBoardMap[static_cast<std::size_t>(r)];
}

// The group that holds `offset`, or nullptr; *word receives the word's index in it.
constexpr const BoardRegInfo *find_board_reg(std::uint32_t offset, std::uint32_t *word) {
    const auto *it = std::find_if(std::begin(kBoardMap), std::end(kBoardMap), [&](const auto &r) {
        return offset >= r.offset && offset < r.offset + 4 * r.words;
    });
    if (it == std::end(kBoardMap))
        return nullptr;
    *word = (offset - it->offset) / 4;
    return it;
}

constexpr bool board_map_is_sound() {
    for (std::size_t i = 0; i < std::size(kBoardMap); ++i) {
        const BoardRegInfo &r = kBoardMap[i];
        if (static_cast<std::size_t>(r.id) != i || r.offset % 4 != 0 ||
            r.offset + 4 * r.words > kBoardWindowBytes)
            return false;
        if (i > 0 && kBoardMap[i - 1].offset + 4 * kBoardMap[i - 1].words > r.offset)
            return false;  // ascending, no overlap
    }
    return true;
}
static_assert(board_map_is_sound(), "kBoardMap rows follow BoardReg, ascend and fit");

// Strobe values written to the first time-and-status word.
inline constexpr std::uint32_t kSnapshotStrobeValue = 0xFFFFFFFFu;
// The position freeze strobe is one byte lane of ones: 255 as the host writes it, seen as
// 0xFF000000 when the bus order is swapped.
inline constexpr std::uint32_t kPositionStrobeLow = 0x000000FFu;
inline constexpr std::uint32_t kPositionStrobeHigh = 0xFF000000u;

// Configuration bits.
inline constexpr std::uint32_t kConfigTimerStop = 1u << 27;
inline constexpr std::uint32_t kConfigPresetLoad = 1u << 26;
// Hardware control bits.
inline constexpr std::uint32_t kHwCtlCompareClear = 1u << 25;

// Live status bits, in bits 15..8 of the first time-and-status word.
inline constexpr std::uint32_t kStatusTimerRunning = 1u << 13;
inline constexpr std::uint32_t kStatusTimeSet = 1u << 12;
inline constexpr std::uint32_t kStatusExternalEvent = 1u << 10;
inline constexpr std::uint32_t kStatusCompareEvent = 1u << 9;
inline constexpr std::uint32_t kStatusReferenceLocked = 1u << 8;
// The status bits a fault of the run may force (StatusFault): each of the above but the
// compare event flag, which software clears.
inline constexpr unsigned kForcibleStatusBits[] = {8, 10, 12, 13};

// Diagnostic register: board type 0x0847 (bits 31..16), model revision 1 (bits 15..8),
// self-test passed (bit 0).
inline constexpr std::uint32_t kDiagnosticValue = 0x08470101u;

// Signal level register: the levels of the board's seven inputs, in millivolts.
inline constexpr std::uint32_t kSignalLevels[7] = {
    2500,  // time code input
    3300,  // one pulse per second input
    3300,  // external event input
    1000,  // 10 MHz reference input
    5000,  // position input A
    5000,  // position input B
    5000,  // supply monitor
};

}  // namespace korvic::sim
