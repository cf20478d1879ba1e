// The board's register sequences, each written once, over a Window: the C API's functions
// and korvic::Board both call these, so both make the same bus accesses in the same order.
// Each sequence of more than one access runs under the window's board lock (board_lock.h),
// taken before its first access and released after its last; a caller that needs several
// sequences (or the system clock) inside one hold takes a Hold of its own around them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bitfields.h"
#include "mmio.h"
#include "regmap.h"
#include "timecodec.h"

namespace korvic::seq {

using mmio::Window;
using regs::Reg;

struct Nothing {
    void operator()() const {}
};

// The window's board lock, for the life of the object (nested holds take it once). Makes
// no bus access; throws what the lock's owner throws when the lock is not had.
class Hold {
  public:
    explicit Hold(const Window &w) : lock_(w.lock) {
        if (lock_ != nullptr)
            lock_->enter();
    }
    ~Hold() {
        if (lock_ != nullptr)
            lock_->leave();
    }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

  private:
    lock::BoardLock *lock_;
};

// A register group's words, word 0 first, each converted as the map says. `after_first`
// runs right after the load of word 0 (sample() reads the system clock there).
template <typename AfterFirst = Nothing>
codec::Words read_group(const Window &w, Reg reg, AfterFirst &&after_first = {}) {
    const Hold hold(w);
    codec::Words out{};
    const std::uint32_t words = regs::info(reg).words;
    out[0] = mmio::read_word(w, reg, 0);
    after_first();
    for (std::uint32_t k = 1; k < words; ++k)
        out[k] = mmio::read_word(w, reg, k);
    return out;
}

// The current time: the snapshot strobe, then the three time-and-status words.
template <typename AfterFirst = Nothing>
codec::Words snapshot(const Window &w, AfterFirst &&after_first = {}) {
    const Hold hold(w);
    mmio::strobe(w, regs::kSnapshotStrobe);
    return read_group(w, Reg::TimeStatus, after_first);
}

// A register group's words stored in ascending order.
inline void write_group(const Window &w, Reg reg, const codec::Words &words) {
    const Hold hold(w);
    for (std::uint32_t k = 0; k < regs::info(reg).words; ++k)
        mmio::write_word(w, reg, k, words[k]);
}

// A bit field by read-modify-write: one load first, whatever the selector; for a selector
// in range one store of the whole word, every other bit as loaded. 15 for a selector out of
// range, which stores nothing.
template <std::size_t N>
std::int32_t write_field(const Window &w, Reg reg, const fields::Field (&table)[N],
                         std::int32_t selector, std::uint32_t value) {
    const Hold hold(w);
    const std::uint32_t word = mmio::read_word(w, reg, 0);
    const fields::Field *f = fields::lookup(table, selector);
    if (f == nullptr)
        return fields::kBadSelector;
    mmio::write_word(w, reg, 0, fields::insert(word, *f, value));
    return 0;
}

// A bit field: one load, whatever the selector; 15 for a selector out of range. A single
// access, so no lock.
template <std::size_t N>
std::int32_t read_field(const Window &w, Reg reg, const fields::Field (&table)[N],
                        std::int32_t selector) {
    const std::uint32_t word = mmio::read_word(w, reg, 0);
    const fields::Field *f = fields::lookup(table, selector);
    if (f == nullptr)
        return fields::kBadSelector;
    return static_cast<std::int32_t>(fields::extract(word, *f));
}

// The three preset words, then the preset load bit (configuration bit 26), with which the
// board takes the preset as its new time.
inline void preset(const Window &w, const codec::Words &image) {
    const Hold hold(w);
    write_group(w, Reg::PresetTime, image);
    write_field(w, Reg::Config, fields::kConfig, fields::kPresetLoad, 1);
}

}  // namespace korvic::seq
