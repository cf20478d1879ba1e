// Items that set single bits: timer start and stop (2, 4), a hardware control bit (3) and
// a configuration field (9). Each runs from the menu cycle, which clears the screen before
// and discards the rest of the input line and flushes the output after it.
#include <cstdint>
#include <cstdio>

#include "console.h"
#include "items.h"
#include "korvic_api.h"

namespace korvic::console {

void start_timer(Console &) {
    write_conf_reg_bitfield(KORVIC_CONF_TIMER_STOP, 0);
}

void set_hw_control_bit(Console &c) {
    std::printf("Enter BIT NUMBER and VALUE:\n");
    if (!typed(c, c.v.bit_number) || !typed(c, c.v.bit_value))
        return;
    write_hw_ctl_reg_bitfield(c.v.bit_number, c.v.bit_value);
}

void stop_timer(Console &) {
    std::printf("case 4\n");
    write_conf_reg_bitfield(KORVIC_CONF_TIMER_STOP, 1);
}

void set_config_bit(Console &c) {
    std::printf("Enter BIT NUMBER and VALUE\n");
    if (!typed(c, c.v.bit_number) || !typed(c, c.v.bit_value))
        return;
    // The field value is an 8-bit quantity; only its low bits reach the register.
    write_conf_reg_bitfield(c.v.bit_number, static_cast<std::uint8_t>(c.v.bit_value));
}

}  // namespace korvic::console
