// Points the library at a register window for the length of a test: base_addr and kv_mem
// at the window, g_byte_swap as asked, the three offsets at 0. The destructor puts every
// one of them back. Header-only and free of the simulator, so portable tests use it too.
#pragma once

#include <cstdint>

#include "korvic_api.h"

namespace korvic::test {

class LibraryWindow {
  public:
    explicit LibraryWindow(void *window, std::int32_t byte_swap = 0)
        : base_(base_addr),
          bytes_(kv_mem),
          swap_(g_byte_swap),
          seconds_(g_time_offset),
          hours_(g_tz_offset),
          days_(g_day_offset) {
        base_addr = static_cast<volatile std::uint32_t *>(window);
        kv_mem = static_cast<volatile std::uint8_t *>(window);
        g_byte_swap = byte_swap;
        g_time_offset = g_tz_offset = g_day_offset = 0;
    }
    ~LibraryWindow() {
        base_addr = base_;
        kv_mem = bytes_;
        g_byte_swap = swap_;
        g_time_offset = seconds_;
        g_tz_offset = hours_;
        g_day_offset = days_;
    }
    LibraryWindow(const LibraryWindow &) = delete;
    LibraryWindow &operator=(const LibraryWindow &) = delete;

  private:
    volatile std::uint32_t *base_;
    volatile std::uint8_t *bytes_;
    std::int32_t swap_, seconds_, hours_, days_;
};

}  // namespace korvic::test
