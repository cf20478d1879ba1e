// A trapped register window for tests: every bus access the library makes is recorded, in
// order, with its direction, offset and value. RecordingRegisters behaves as plain memory
// (a read after a write sees it) unless a test preloads or changes words with set().
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <vector>

#include "korvic_api.h"
#include "library_window.h"
#include "trap.h"

namespace korvic::test {

inline constexpr std::uint32_t kWindowBytes = 512;

struct Access {
    char dir;  // 'R' or 'W'
    std::uint32_t offset;
    std::uint32_t value;

    friend bool operator==(const Access &, const Access &) = default;
};

// Prints as "W 0x0fc=0xffffffff".
void PrintTo(const Access &a, std::ostream *os);
std::ostream &operator<<(std::ostream &os, const Access &a);

// Shorthands for expected sequences.
inline Access R(std::uint32_t offset, std::uint32_t value) {
    return {'R', offset, value};
}
inline Access W(std::uint32_t offset, std::uint32_t value) {
    return {'W', offset, value};
}

class RecordingRegisters : public sim::MmioTarget {
  public:
    RecordingRegisters();

    std::uint32_t load32(std::uint32_t offset) override;
    void store32(std::uint32_t offset, std::uint32_t value) override;

    // Preloads a word as the board would hold it, without logging an access.
    void set(std::uint32_t offset, std::uint32_t value);
    std::uint32_t word(std::uint32_t offset) const;

    const std::vector<Access> &log() const { return log_; }
    void clear_log() { log_.clear(); }

  private:
    std::uint32_t words_[kWindowBytes / 4] = {};
    std::vector<Access> log_;
};

// Points base_addr and kv_mem at a 512-byte trapped window over a RecordingRegisters, with
// g_byte_swap and the three offsets at 0; TearDown puts the previous values back.
class TrapFixture : public ::testing::Test {
  protected:
    TrapFixture();
    void SetUp() override;
    void TearDown() override;

    RecordingRegisters regs;
    sim::TrapWindow window;

  private:
    std::optional<LibraryWindow> attached_;
};

}  // namespace korvic::test
