// Single fields of the hardware control, configuration and hardware status registers.
// Every call loads its register once before the selector is looked at; the writers store
// the whole word back once, every bit outside the field as it was loaded.
#include "bitfields.h"

#include "korvic_api.h"
#include "mmio.h"
#include "regmap.h"
#include "sequences.h"

using korvic::regs::Reg;
namespace fields = korvic::fields;
namespace mmio = korvic::mmio;
namespace seq = korvic::seq;

extern "C" {

int32_t write_hw_ctl_reg_bitfield(int32_t sel, int32_t value) {
    return seq::write_field(mmio::c_window(), Reg::HwControl, fields::kHwControl, sel,
                            static_cast<uint32_t>(value));
}

int32_t read_conf_reg_bitfield(int32_t sel) {
    return seq::read_field(mmio::c_window(), Reg::Config, fields::kConfig, sel);
}

// A selector out of range stores nothing: writing the loaded word back would undo any
// change the board made to the register between the load and the store.
int32_t write_conf_reg_bitfield(int32_t sel, uint8_t value) {
    return seq::write_field(mmio::c_window(), Reg::Config, fields::kConfig, sel, value);
}

// No strobe: the status bits are read as the word holds them now.
int32_t read_hw_stat_reg_bitfield(int32_t sel) {
    return seq::read_field(mmio::c_window(), Reg::HwStatus, fields::kHwStatus, sel);
}

}  // extern "C"
