// The simulated timing board and its PCI bridge: 32-bit reads and writes at byte offsets,
// with the board's effects (running time, strobes, preset load, timer stop, time compare,
// external events). Pure C++: time comes from an injected Clock, nothing here calls the OS.
//
// Values cross the bus in the configured bus order: native, or swapped, where every word
// is presented byte-reversed, as a big-endian host sees a little-endian board.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "bcd_layout.h"
#include "board_map.h"
#include "board_notes.h"
#include "calendar.h"
#include "clock.h"
#include "text.h"

namespace korvic::sim {

enum class BusOrder : std::uint8_t { Native, Swapped };

// A leap second that the board plays when its time runs across `at_us`, the instant (board
// time, a whole minute) that begins the minute after it. An inserted second is shown as
// hh:mm:60 (Show::Sixty) or as hh:mm:59 once more (Show::Repeat); after it the board's
// time is one second behind its oscillator. A deleted second skips hh:mm:59: the board
// goes from hh:mm:58.999999 to the next minute, one second ahead from then on.
struct LeapSecond {
    enum class Kind : std::uint8_t { Insert, Delete };
    enum class Show : std::uint8_t { Sixty, Repeat };
    std::int64_t at_us = 0;
    Kind kind = Kind::Insert;
    Show show = Show::Sixty;

    friend bool operator==(const LeapSecond &, const LeapSecond &) = default;
};

// A hardware status bit (8, 10, 12 or 13) that reads `value` from `at_us` into the run for
// `for_us` (kForever: to the end), whatever the board would show there. Only what the
// bit reads changes: the board behaves as before (bit 13 forced to 0 leaves the timer
// running).
struct StatusFault {
    std::int64_t at_us = 0;
    std::int64_t for_us = kForever;
    unsigned bit = 8;
    bool value = false;

    friend bool operator==(const StatusFault &, const StatusFault &) = default;
};

struct BoardOptions {
    BusOrder bus_order = BusOrder::Native;
    // External events every this many microseconds of board time, at the instants that are
    // whole multiples of it (0: only on demand).
    std::int64_t external_event_period_us = 0;
    // Board time at power-up; by default the clock's reading.
    std::optional<std::int64_t> start_us;
    // The leap second the board plays, if any (once per power-up).
    std::optional<LeapSecond> leap;
    // Status bits forced at moments of the run (Clock::moment_us), sorted by moment; where
    // two overlap on one bit, the later one wins. Must outlive the board.
    std::span<const StatusFault> status_faults;
};

// The compare mask: which leading fields of the compare time are wildcards. See
// compare_mask_meaning() for the table.
inline constexpr std::uint32_t kCompareMaskOff = 15;
const char *compare_mask_meaning(std::uint32_t mask);

struct CompareSetting {
    BoardFields time;  // year unused
    std::uint32_t mask = kCompareMaskOff;
};

// The latest instant t with prev < t <= now at which the board time matches the compare
// time on every field the mask keeps, if there is one.
std::optional<std::int64_t> compare_crossing(const CompareSetting &c, std::int64_t prev_us,
                                             std::int64_t now_us);
// The first such instant after `after_us`, if the mask gives one (within the next dozen
// years for a yearly compare).
std::optional<std::int64_t> next_compare_crossing(const CompareSetting &c, std::int64_t after_us);

// Everything the board holds: plain words and flags, nothing that points into a process,
// so that it can live in memory that every process using the board maps (the launcher's
// shared run). Whoever shares it serialises the accesses; only the external event request
// is set from outside an access (from a signal handler), so it is atomic.
struct BoardState {
    // Board time: base_board + (clock - base_clock) while running, frozen when stopped.
    bool running = true;
    std::int64_t base_board = 0, base_clock = 0, frozen = 0;
    std::int64_t last_eval = 0;  // board time up to which events have been looked for

    std::uint32_t hw_control = 0;
    std::uint32_t config = 0;
    std::uint32_t local_offset = 0, sync_offset = 0;
    std::uint32_t compare[2] = {0, kCompareMaskOff << 4};
    std::uint32_t preset_time[3] = {};
    std::uint32_t preset_position[4] = {};
    std::int64_t position_ref = 0;  // board time of the last preset position write
    std::uint32_t latched_time[3] = {};
    std::uint32_t frozen_position[4] = {};
    std::uint32_t external[3] = {};
    std::uint32_t external_count = 0;

    bool compare_flag = false;
    bool time_set = false;
    bool external_pending = false;
    bool leap_played = false;  // BoardOptions::leap has been played
    std::atomic<bool> external_request{false};
    std::uint64_t accesses = 0;
};
static_assert(std::atomic<bool>::is_always_lock_free, "the request flag is shared by processes");

enum class PowerUp : std::uint8_t { No, Yes };

class Board {
  public:
    // A board of its own, powered up now.
    explicit Board(Clock &clock, BoardOptions options = {});
    // A board whose state lives elsewhere (shared by processes): powered up now when asked
    // (once, by whoever creates the state), else taken as it is.
    Board(Clock &clock, BoardOptions options, BoardState &state, PowerUp power_up);
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Bus accesses. Each ticks the clock once, lets the board's time-driven events happen up
    // to the present, then serves the access. `note`, if given, receives what it meant.
    std::uint32_t read(std::uint32_t offset, Note *note = nullptr);
    void write(std::uint32_t offset, std::uint32_t value, Note *note = nullptr);

    // Asks for an external event; it is captured at the start of the next bus access (or
    // the next settle()). Async-signal-safe.
    void request_external_event() { s_->external_request.store(true, std::memory_order_relaxed); }

    // What an access does first, without being one: the board's time-driven events (and a
    // requested external event) happen up to the present. No clock tick, no access counted.
    // The interrupt node's helper calls it at the board's scheduled events, since the
    // model moves only when something looks at it.
    void settle();
    // The board time of the next event that changes what the board shows: the next
    // periodic external event, or the next compare crossing while the compare flag is clear
    // (a raised flag stays raised). Nothing when the timer is stopped or none is scheduled.
    std::optional<std::int64_t> next_event_us() const;

    // Inspection, not bus accesses: no tick, no side effects. Words in the board's own
    // order (as a native bus would carry them).
    std::int64_t time_us() const;
    bool running() const { return s_->running; }
    bool compare_flag() const { return s_->compare_flag; }
    bool external_pending() const { return s_->external_pending; }
    std::uint32_t register_word(std::uint32_t offset) const;
    std::uint64_t accesses() const { return s_->accesses; }
    const BoardOptions &options() const { return options_; }

  private:
    void power_up();
    std::int64_t begin_access(Note *note);
    void happen_until(std::int64_t now, Note *note);
    std::int64_t play_leap(std::int64_t now, Note *note);
    BoardFields shown(std::int64_t t) const;
    std::uint32_t status_bits(std::uint32_t *forced = nullptr) const;
    std::uint32_t status_nibble() const;
    void latch_snapshot(std::int64_t now, Note *note);
    void freeze_position(std::int64_t now, Note *note);
    void capture_external(std::int64_t at, Note *note);
    void raise_compare(std::int64_t at, Note *note);
    void write_config(std::uint32_t value, std::int64_t now, Note *note);
    void set_time(std::int64_t t);
    std::uint32_t to_bus(std::uint32_t v) const;

    Clock *clock_;
    BoardOptions options_;
    std::unique_ptr<BoardState> own_;
    BoardState *s_;
};

// The PCI bridge's 128 bytes of registers. Only the interrupt control/status word (0x4C)
// means anything here; every word holds what is written, in the processor's order.
struct BridgeState {
    std::uint32_t words[kBridgeWindowBytes / 4] = {};
};

class Bridge {
  public:
    Bridge() : s_(&own_) {}
    // A bridge whose words live elsewhere (shared by processes).
    explicit Bridge(BridgeState &state) : s_(&state) {}
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    std::uint32_t read(std::uint32_t offset, Note *note = nullptr);
    void write(std::uint32_t offset, std::uint32_t value, Note *note = nullptr);
    std::uint32_t word(std::uint32_t offset) const { return s_->words[(offset % 128) / 4]; }
    // Sets a word as the bridge itself changes it (the interrupt model's masking): no bus
    // access, nothing traced.
    void hold(std::uint32_t offset, std::uint32_t value) { s_->words[(offset % 128) / 4] = value; }

  private:
    BridgeState own_;
    BridgeState *s_;
};

}  // namespace korvic::sim
