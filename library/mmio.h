// The only way the library touches the board: one naturally aligned 32-bit volatile load
// or store at a byte offset of a register window, in program order. Nothing is merged,
// cached or widened; a word read twice is loaded twice.
//
// A Window names the mapped registers, the byte order and the lock of one board. The C
// API builds one from its globals at every call (so a change of g_byte_swap counts from
// the next call); a korvic::Board keeps its own.
#pragma once

#include <cstdint>

#include "board_lock.h"
#include "korvic_api.h"
#include "regmap.h"

namespace korvic::capi {
// The C API's board lock while base_addr is the window that init_847 mapped, its
// descriptor still open; nullptr for a window that the caller set up by hand.
lock::BoardLock *lock_of(const volatile std::uint32_t *window);
}  // namespace korvic::capi

namespace korvic::mmio {

struct Window {
    volatile std::uint32_t *base;  // word 0 of the 512-byte register window
    bool swap;                     // register words are byte-reversed between bus and caller
    lock::BoardLock *lock;         // taken around the sequences (sequences.h); nullptr: none
};

constexpr std::uint32_t reverse_bytes(std::uint32_t w) {
    return (w >> 24) | ((w >> 8) & 0x0000FF00u) | ((w << 8) & 0x00FF0000u) | (w << 24);
}

// The byte order conversion of one window, the same in both directions.
inline std::uint32_t order(const Window &w, std::uint32_t word) {
    return w.swap ? reverse_bytes(word) : word;
}

inline std::uint32_t load(const Window &w, std::uint32_t offset) {
    return w.base[offset / 4];
}
inline void store(const Window &w, std::uint32_t offset, std::uint32_t value) {
    w.base[offset / 4] = value;
}

// Word i of a register, converted as the register map says.
inline std::uint32_t read_word(const Window &w, regs::Reg r, std::uint32_t i) {
    const auto &reg = regs::info(r);
    const std::uint32_t raw = load(w, reg.offset + 4 * i);
    return reg.swap_reads ? order(w, raw) : raw;
}
inline void write_word(const Window &w, regs::Reg r, std::uint32_t i, std::uint32_t value) {
    const auto &reg = regs::info(r);
    store(w, reg.offset + 4 * i, reg.swap_writes ? order(w, value) : value);
}

// A strobe: the same value written to the hardware status word three times, each a bus
// write of its own.
inline void strobe(const Window &w, std::uint32_t value) {
    for (int i = 0; i < regs::kStrobeWrites; ++i)
        store(w, regs::info(regs::Reg::HwStatus).offset, value);
}

// The C API's window: base_addr, g_byte_swap and the lock as they are now.
inline Window c_window() {
    return {base_addr, g_byte_swap != 0, capi::lock_of(base_addr)};
}

// The same accesses through kv_mem, which the position freeze read and freeze_time use.
inline volatile std::uint32_t *kv_word(std::uint32_t offset) {
    return reinterpret_cast<volatile std::uint32_t *>(kv_mem + offset);
}

}  // namespace korvic::mmio
