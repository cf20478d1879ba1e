// The console's bit-field and time items (menu items 2, 3, 4, 6, 7, 9, 10, 11 and 13).
#pragma once

#include "console.h"

namespace korvic::console {

void start_timer(Console &c);              // 2
void set_hw_control_bit(Console &c);       // 3
void stop_timer(Console &c);               // 4
void reset_board_time(Console &c);         // 6
void preset_time(Console &c);              // 7
void set_config_bit(Console &c);           // 9
void show_time_and_status(Console &c);     // 10
void test_time_compare_event(Console &c);  // 11
void show_time_broken_down(Console &c);    // 13

}  // namespace korvic::console
