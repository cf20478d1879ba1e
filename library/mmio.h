// The only way the library touches the board: one naturally aligned 32-bit volatile load
// or store at a byte offset of the register window, in program order. Nothing is merged,
// cached or widened; a word read twice is loaded twice.
#pragma once

#include <cstdint>

#include "korvic_api.h"
#include "regmap.h"

namespace korvic::mmio {

inline std::uint32_t load(std::uint32_t offset) {
    return base_addr[offset / 4];
}
inline void store(std::uint32_t offset, std::uint32_t value) {
    base_addr[offset / 4] = value;
}

// The same accesses through kv_mem, which the position freeze read and freeze_time use.
inline volatile std::uint32_t *kv_word(std::uint32_t offset) {
    return reinterpret_cast<volatile std::uint32_t *>(kv_mem + offset);
}

// Word i of a register, converted as the register map says.
inline std::uint32_t read_word(regs::Reg r, std::uint32_t i) {
    const auto &reg = regs::info(r);
    const std::uint32_t raw = load(reg.offset + 4 * i);
    return reg.swap_reads ? byte_swap(raw) : raw;
}
inline void write_word(regs::Reg r, std::uint32_t i, std::uint32_t value) {
    const auto &reg = regs::info(r);
    store(reg.offset + 4 * i, reg.swap_writes ? byte_swap(value) : value);
}

// A strobe: the same value written to the hardware status word three times, each a bus
// write of its own.
inline void strobe(std::uint32_t value) {
    for (int i = 0; i < regs::kStrobeWrites; ++i)
        store(regs::info(regs::Reg::HwStatus).offset, value);
}

}  // namespace korvic::mmio
