// A plain memory register window for portable tests: base_addr and kv_mem point at an
// aligned 512-byte array, and the library globals the time and bit-field functions read
// are zeroed for the test and restored after it. Words are preloaded and inspected as the
// processor sees them, so the tests mean the same on either byte order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "korvic_api.h"
#include "library_window.h"
#include "regmap.h"

namespace korvic::test {

class MemoryWindow : public ::testing::Test {
  protected:
    void SetUp() override { attached_.emplace(window_); }
    void TearDown() override { attached_.reset(); }

    // The word at a byte offset as it lies in the window.
    std::uint32_t &word(std::uint32_t offset) { return window_[offset / 4]; }

    // Fills every word with a pattern that no library call writes, so a stray store shows.
    void fill(std::uint32_t pattern) {
        for (auto &w : window_)
            w = pattern;
    }

    alignas(8) std::uint32_t window_[regs::kWindowBytes / 4] = {};

  private:
    std::optional<LibraryWindow> attached_;
};

constexpr std::uint32_t reversed(std::uint32_t w) {
    return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}

}  // namespace korvic::test
