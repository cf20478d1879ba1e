// Byte order and whole-register access.
#include "korvic_api.h"
#include "mmio.h"
#include "regmap.h"
#include "sequences.h"

using korvic::regs::Reg;
namespace mmio = korvic::mmio;
namespace seq = korvic::seq;

extern "C" uint32_t byte_swap(uint32_t w) {
    return g_byte_swap == 0 ? w : korvic::mmio::reverse_bytes(w);
}

namespace {

int read_one(Reg r, uint32_t *w) {
    *w = mmio::read_word(mmio::c_window(), r, 0);
    return 0;
}

int write_one(Reg r, const uint32_t *w) {
    mmio::write_word(mmio::c_window(), r, 0, *w);
    return 0;
}

int read_all(Reg r, uint32_t *w) {
    const mmio::Window window = mmio::c_window();
    const seq::Hold hold(window);
    for (uint32_t i = 0; i < korvic::regs::info(r).words; ++i)
        w[i] = mmio::read_word(window, r, i);
    return 0;
}

}  // namespace

extern "C" {

int read_diag_reg(uint32_t *w) {
    return read_one(Reg::Diag, w);
}
int write_hw_ctl_reg(const uint32_t *w) {
    return write_one(Reg::HwControl, w);
}
int read_conf_reg(uint32_t *w) {
    return read_one(Reg::Config, w);
}
int write_conf_reg(const uint32_t *w) {
    return write_one(Reg::Config, w);
}
int read_local_offset_reg(uint32_t *w) {
    return read_one(Reg::LocalOffset, w);
}
int write_local_offset_reg(const uint32_t *w) {
    return write_one(Reg::LocalOffset, w);
}
int read_sync_offset_reg(uint32_t *w) {
    return read_one(Reg::SyncOffset, w);
}
int write_sync_offset_reg(const uint32_t *w) {
    return write_one(Reg::SyncOffset, w);
}

int read_preset_position_reg(uint32_t w[4]) {
    return read_all(Reg::PresetPosition, w);
}
int read_signal_level_reg(uint32_t w[7]) {
    return read_all(Reg::SignalLevel, w);
}

// The preset position words go to the board exactly as the caller holds them: the
// register map marks them as not swapped on write.
int write_preset_position_reg(const uint32_t w[4]) {
    const mmio::Window window = mmio::c_window();
    const seq::Hold hold(window);
    for (uint32_t i = 0; i < korvic::regs::info(Reg::PresetPosition).words; ++i)
        mmio::write_word(window, Reg::PresetPosition, i, w[i]);
    return 0;
}

// Strobe through base_addr, then the four held words through kv_mem.
int read_position_freeze_reg(uint32_t w[4]) {
    const auto &reg = korvic::regs::info(Reg::PositionFreeze);
    volatile uint32_t *held = mmio::kv_word(reg.offset);
    const mmio::Window window = mmio::c_window();
    const seq::Hold hold(window);
    mmio::strobe(window, korvic::regs::kPositionFreezeStrobe);
    for (uint32_t i = 0; i < reg.words; ++i)
        w[i] = byte_swap(held[i]);
    return 0;
}

int enable_device_interrupts(void) {
    return 0;
}

// The snapshot strobe alone, through kv_mem: the board latches its current time into the
// time-and-status words, where a later raw read finds it.
int freeze_time(void) {
    const seq::Hold hold(mmio::c_window());
    volatile uint32_t *status = mmio::kv_word(korvic::regs::info(Reg::HwStatus).offset);
    for (int i = 0; i < korvic::regs::kStrobeWrites; ++i)
        *status = korvic::regs::kSnapshotStrobe;
    return 0;
}

}  // extern "C"
