// korvic/board.hpp: the korvic board as a C++20 object.
//
// One korvic::Board per board: it reads a korvic_cfg.dat from any path (or takes settings
// built in code), maps the board's register window and releases it when it goes. It keeps
// no globals and never touches the C API's (korvic_api.h): two Boards in one process are
// independent, each with its own window, byte order and offsets, and a Board may live
// beside init_847. The register sequences are the C API's own (same register map, same
// codec): what a call touches on the bus is documented with it.
//
// Time is korvic::utc_time, microseconds since 1970-01-01T00:00:00Z on the true calendar
// (leap years counted; no leap seconds, as in POSIX time). The board holds its time as
// digits (year, day of year from 0, time of day); every reading of a time register is
// converted by one formula, the current time's:
//
//     utc = the board's digits as a calendar instant + DAY_OFF days + TZ_OFF hours - SEC_OFF s
//
// A board that shows an inserted leap second shows a seconds digit of 60 (23:59:60.250):
// that reads as the last microsecond of the minute it shows (23:59:59.999999; in the preset
// register, which holds no microseconds, its last millisecond), for the whole leap second,
// so that the time neither enters the next minute early nor runs back a second after it; a
// board that repeats 23:59:59 instead reads as it shows. Seconds digits above 60 are no
// leap second and carry into the next minute as their value says. The C API's readers
// keep their own arithmetic (60 seconds carry there too).
//
// and preset(t) and set_compare(t, ...) write the exact inverse, the board digits of
// t - DAY_OFF days - TZ_OFF hours + SEC_OFF s. (The C readers count 365-day years and
// apply a different list of offsets per register; a Board does neither.)
//
// Errors: attaching throws std::filesystem::filesystem_error (errno in code(), the path in
// path1(), the step in what()); a time or mask out of range throws std::out_of_range before
// any bus access; text that is not a time or duration throws std::invalid_argument; a
// board lock not had in time throws BoardBusy. The library never ends the process on this
// path.
//
// Board lock: every call whose accesses belong together (a snapshot strobe and its loads,
// a preset and its load bit, the compare words, a bit field's read-modify-write, a
// register group's loads) runs under one advisory lock on the register device, shared by
// every process on the host, the C API's init_847 included: their sequences never
// interleave on the bus. A call waits for the lock up to Settings::lock_wait (100 ms by
// default), then throws BoardBusy before any bus access. Single loads (status(),
// compare_flag(), timer_running(), read_register()) take no lock. A holder that dies
// releases the lock with its descriptor. The lock belongs to the Board's open of the
// device: two Boards exclude each other, even in one process. A child made by fork() that
// goes on using its parent's Board opens the device again at its next locked call (the
// open it inherited is its parent's, whose lock it would share); that open can fail
// (filesystem_error "korvic: reopen register device after fork").
//
// Threads: a Board is not itself thread-safe. Use one Board per thread, or hold a lock of
// your own around every call (including those of an EventWatcher over it). Two Boards on
// the same device in two threads exclude each other through the board lock.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace korvic {

// A board time as UTC: microseconds since 1970-01-01T00:00:00Z, 64-bit.
using utc_time = std::chrono::sys_time<std::chrono::microseconds>;
// A reading of the system clock (CLOCK_REALTIME), nanoseconds since 1970.
using system_time = std::chrono::sys_time<std::chrono::nanoseconds>;

// The instants a preset or a compare time may name, both as UTC and as board time after
// the offsets: 1970-01-01T00:00:00Z to 2099-12-31T23:59:59.999999Z.
inline constexpr utc_time kFirstBoardTime{};
inline constexpr utc_time kLastBoardTime{std::chrono::microseconds{4'102'444'799'999'999}};

// ---------------------------------------------------------------------------------------
// Times and durations as text, for every program built on the library.
// ---------------------------------------------------------------------------------------

// "2026-03-28T12:34:56.789123Z": always six digits of fraction and the Z. Years before 0
// or after 9999 (only far outside the board's range) are written with a sign or five and
// more digits. No bus access.
std::string format_time(utc_time t);

// "1774701296.789123": seconds since 1970-01-01T00:00:00Z, a point and always six digits
// of microseconds; a '-' before the instants earlier than 1970. No bus access.
std::string format_unix_time(utc_time t);

// ISO 8601 in UTC, one of
//   calendar  "2026-03-28T12:34:56.789Z"
//   ordinal   "2026-087T12:34:56Z"     (day of the year counted from 001, as ISO counts it;
//                                       the board's own day digits count from 000)
//   seconds   "@1774701296.5"          (since 1970-01-01T00:00:00Z; a leading '-' allowed)
// A blank may stand for the 'T'; the 'Z' may be left out; the fraction has 1 to 6 digits
// (more are refused, not rounded: the board's finest unit is the microsecond); years are
// four digits; 24:00 and leap seconds are refused. No other zone is taken.
// Throws std::invalid_argument with the text and what is wrong with it. The range of the
// board is not checked here (see preset()).
utc_time parse_time(std::string_view text);

// A number with a unit: "250ms", "1.5s", "10us", "100ns", "2min", "1h". The unit is
// required ("0" alone excepted); leading zeros and a decimal fraction are taken when the
// result is a whole number of nanoseconds ("0.25ms"; "1.0000000001s" is refused). With
// allow_sign a leading '+' or '-' is taken ("+3s", "-1.5s"). Every text the simulator's
// launcher takes for --step and --ext-period is taken here with the same meaning.
// Throws std::invalid_argument (not that form) or std::out_of_range (beyond the 64-bit
// nanosecond count, some 292 years).
std::chrono::nanoseconds parse_duration(std::string_view text, bool allow_sign = false);

// ---------------------------------------------------------------------------------------
// Settings: what a korvic_cfg.dat sets.
// ---------------------------------------------------------------------------------------

struct Settings {
    std::filesystem::path mem_path;                 // MEM_PATH=: the register device
    std::vector<std::filesystem::path> enable_int;  // one per ENABLE_INT line, in file order:
                                                    // the INT_PATH= in force at that line
    std::int32_t sec_off = 0;                       // SEC_OFF=, seconds
    std::int32_t tz_off = 0;                        // TZ_OFF=, hours
    std::int32_t day_off = 0;                       // DAY_OFF=, days
    bool byte_swap = false;                         // BYTE_SWAP= not 0
    // UIO_PATH=: the board's interrupt node, on which the waits sleep (EventWatcher,
    // wait_compare_flag). Empty: the node is found from mem_path (see Board(settings)).
    std::filesystem::path uio_path;
    // Not in korvic_cfg.dat: how long a call waits for the board lock before it throws
    // BoardBusy (0: one try).
    std::chrono::nanoseconds lock_wait = std::chrono::milliseconds{100};

    friend bool operator==(const Settings &, const Settings &) = default;
};

// Reads a configuration file with init_847's parser and rules (lines of at most 127
// characters, "#" comments, keys in the first column, a value that does not convert leaves
// the setting as it was, the last one that converts wins, SEC_OFF= and TZ_OFF= take a minus
// sign), starting from the defaults above. A relative MEM_PATH= or INT_PATH= is taken
// relative to the file's directory (for ./korvic_cfg.dat that is the working directory,
// as for init_847), and so is UIO_PATH= (which init_847 ignores). Nothing is opened but the
// file, without blocking: a pipe or FIFO is read when its writer delivers all of it within
// 1 s. Throws filesystem_error "korvic: read configuration" when the file cannot be read,
// is a directory (EISDIR), a device or socket (EINVAL), a pipe or FIFO not delivered in
// time (ETIMEDOUT) or longer than 64 KiB (EFBIG).
Settings read_settings(const std::filesystem::path &config);

// The configuration file that korvic, korvicd and Python's korvic.Board() read, one rule for
// all: `given` (a --config or an argument) when not empty, else $KORVIC_CONFIG when set and
// not empty, else "korvic_cfg.dat" in the working directory. korvic_sim sets KORVIC_CONFIG
// for the programs it runs. init_847 takes no environment: it reads ./korvic_cfg.dat. Opens
// nothing, no bus access.
std::filesystem::path config_path(const std::filesystem::path &given = {});

// Throws the std::out_of_range that preset(t) and set_compare(t, ...) throw on a Board with
// these settings when t or its board time lies outside kFirstBoardTime to kLastBoardTime;
// returns otherwise. For checking a time before attaching, which already writes to the
// bridge when the settings enable interrupts. No bus access.
void check_board_time(utc_time t, const Settings &settings);

// ---------------------------------------------------------------------------------------
// Compare masks, status and samples.
// ---------------------------------------------------------------------------------------

// The 4-bit compare mask as the simulator models the board: which leading fields of the
// compare time are wildcards, and so how often the compare event comes. 6 to 14 are
// reserved (no event in the simulator). The library stores the mask; what it selects is
// the board's.
enum class CompareMask : std::uint8_t {
    yearly = 0,             // day, time of day and fraction compared
    daily = 1,              // the day is a wildcard
    hourly = 2,             // day and hours are wildcards
    every_minute = 3,       // day, hours and minutes are wildcards
    every_second = 4,       // only the fraction of the second is compared
    every_millisecond = 5,  // only the microseconds are compared
    off = 15,               // no compare (the board's power-up value)
};

// "year", "day", "hour", "minute", "second", "millisecond", "off": the words that the
// command-line tool (--every) and the Python module (every=) take. Nothing for another.
std::optional<CompareMask> parse_compare_every(std::string_view word);
// The word parse_compare_every takes for the mask; "reserved" for 6 to 14.
std::string_view to_string(CompareMask mask);

// The time compare register as the board holds it: its own digits, no offset applied and
// no year (the register has none). set_compare(t, ...) wrote the digits of t's board time
// (t - DAY_OFF - TZ_OFF + SEC_OFF); with all offsets 0 these are t's day of the year (from
// 0) and time of day. A year-less time cannot be turned back into an instant across a year
// end, so it is not.
struct CompareSetting {
    int day_of_year = 0;                       // as the board counts, 1 January = 0
    std::chrono::microseconds time_of_day{0};  // hours, minutes, seconds and fraction
    unsigned mask = 0;                         // 0..15 (see CompareMask)
};

// A signed span of time exact to the nanosecond however far a board time lies from the
// system clock: whole seconds (rounded toward minus infinity) and the nanoseconds past
// them. Sample::offset() returns one, not 64-bit nanoseconds: those hold some 292 years
// either way of 1970, and a board may hold any year from 0 to 9999 (after reset_time it
// holds year 0). Exact for any utc_time less any system_time; no bus access anywhere here.
class Offset {
  public:
    constexpr Offset() = default;
    // Exactly d.
    constexpr explicit Offset(std::chrono::nanoseconds d) {
        constexpr std::int64_t kG = 1'000'000'000;
        std::int64_t s = d.count() / kG, n = d.count() % kG;
        if (n < 0) {
            n += kG;
            --s;
        }
        seconds_ = std::chrono::seconds{s};
        nanos_ = std::chrono::nanoseconds{n};
    }
    // s + sub, exactly (sub of any sign and size).
    constexpr Offset(std::chrono::seconds s, std::chrono::nanoseconds sub) : Offset(sub) {
        seconds_ += s;
    }
    // a - b, exactly.
    static constexpr Offset between(utc_time a, system_time b) {
        const std::int64_t a_us = a.time_since_epoch().count();
        return Offset(std::chrono::seconds{a_us / 1'000'000},
                      std::chrono::nanoseconds{a_us % 1'000'000 * 1000}) -
               Offset(b.time_since_epoch());
    }

    // Whole seconds, rounded toward minus infinity (-0.25 s is -1 s and 750,000,000 ns).
    constexpr std::chrono::seconds seconds() const { return seconds_; }
    // The nanoseconds past seconds(): 0 to 999,999,999.
    constexpr std::chrono::nanoseconds subseconds() const { return nanos_; }
    // The span in 64-bit nanoseconds, or nothing when it is longer than those hold.
    std::optional<std::chrono::nanoseconds> as_nanoseconds() const;
    // In seconds: the count of nanoseconds rounded once to a double (exact to the
    // nanosecond up to some 100 days).
    double to_seconds() const;
    // The exact count of nanoseconds, always with its sign: "+250000123",
    // "-63950000000000000000".
    std::string nanoseconds_text() const;
    // The exact seconds with nine decimals, always with a sign: "+0.250000123".
    std::string seconds_text() const;

    constexpr Offset operator-() const { return Offset{} - *this; }
    friend constexpr Offset operator+(Offset a, Offset b) {
        a.seconds_ += b.seconds_;
        a.nanos_ += b.nanos_;
        if (a.nanos_ >= std::chrono::seconds{1}) {
            a.nanos_ -= std::chrono::seconds{1};
            ++a.seconds_;
        }
        return a;
    }
    friend constexpr Offset operator-(Offset a, Offset b) {
        a.seconds_ -= b.seconds_;
        a.nanos_ -= b.nanos_;
        if (a.nanos_ < std::chrono::nanoseconds{0}) {
            a.nanos_ += std::chrono::seconds{1};
            --a.seconds_;
        }
        return a;
    }
    friend constexpr Offset abs(Offset a) { return a.seconds_.count() < 0 ? -a : a; }
    friend constexpr bool operator==(const Offset &, const Offset &) = default;
    friend constexpr bool operator<(const Offset &a, const Offset &b) {
        return a.seconds_ != b.seconds_ ? a.seconds_ < b.seconds_ : a.nanos_ < b.nanos_;
    }
    friend constexpr bool operator>(const Offset &a, const Offset &b) { return b < a; }
    friend constexpr bool operator<=(const Offset &a, const Offset &b) { return !(b < a); }
    friend constexpr bool operator>=(const Offset &a, const Offset &b) { return !(a < b); }

  private:
    std::chrono::seconds seconds_{0};
    std::chrono::nanoseconds nanos_{0};
};

// One reading of the board's current time bracketed by the system clock: `before` is read
// just before the first snapshot strobe, `after` just after the first word of the snapshot
// is loaded. The latch happened between them. A bracket below zero (the system clock
// stepped back between the two readings) is no reading: Board::sample() and
// Board::best_of() never return one. A bracket of zero (a coarse clock) is one.
struct Sample {
    system_time before;
    system_time after;
    utc_time board;
    // The snapshot's first word (0xFC) as loaded, byte order applied: the hardware status
    // bits of that moment (bits 8 to 13, as Status::hw_status holds them) beside the
    // latched sub-second digits. No access of its own: it is the load that ends the bracket.
    std::uint32_t status = 0;

    std::chrono::nanoseconds uncertainty() const { return after - before; }
    system_time midpoint() const { return before + (after - before) / 2; }
    // The board's time less the system clock's at the latch (positive: the board is ahead),
    // exact for any board time.
    Offset offset() const { return Offset::between(board, midpoint()); }
};

// A sample with the system's monotonic clock around it: CLOCK_MONOTONIC_RAW (CLOCK_MONOTONIC
// where the system has no raw clock), read just before sample.before and just after
// sample.after, in nanoseconds since that clock's start. It places the latch on a clock
// that neither the time daemon's slewing nor a step of the system clock moves.
struct Reading {
    Sample sample;
    std::chrono::nanoseconds mono_before{0};
    std::chrono::nanoseconds mono_after{0};

    std::chrono::nanoseconds bracket() const { return sample.uncertainty(); }
    std::chrono::nanoseconds mono_mid() const {
        return mono_before + (mono_after - mono_before) / 2;
    }
    std::chrono::nanoseconds mono_bracket() const { return mono_after - mono_before; }
};

// What Board::best_of() found.
struct BestReading {
    // The valid reading with the narrowest bracket (the first of equals); nothing when every
    // reading was refused.
    std::optional<Reading> best;
    // The readings refused because their bracket was negative (the system clock stepped
    // back inside them).
    int refused = 0;
};

// Thrown by Board::sample() and Board::preset_now() when the system clock stepped back
// inside every reading they took.
class ClockStepped : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Thrown by Board::preset_now() when the board's time did not advance over its wait, with
// nothing written: its timer is stopped, or its time stands still with the timer running.
class BoardNotRunning : public std::runtime_error {
  public:
    BoardNotRunning(const std::string &what, bool timer_stopped)
        : std::runtime_error(what), timer_stopped_(timer_stopped) {}
    bool timer_stopped() const { return timer_stopped_; }

  private:
    bool timer_stopped_;
};

// What Board::preset_now() did.
struct PresetNow {
    utc_time preset;                         // the whole second it loaded
    Sample read_back;                        // the narrowest of five readings after it
    std::chrono::nanoseconds write_cost{0};  // the preset's own time, allowed for in advance
    int attempts = 0;                        // 1 to kPresetNowAttempts

    // The board's time less the system clock's at the read-back.
    Offset residual() const { return read_back.offset(); }
    std::chrono::nanoseconds bracket() const { return read_back.uncertainty(); }
};

// How late preset_now() may start a preset after its instant, and how far from the system
// clock it may leave the board, before it tries again at the next second (a late wake-up
// or a preemption, not the bus, goes beyond these); how often it tries at most.
inline constexpr std::chrono::microseconds kPresetNowLate{100};
inline constexpr std::chrono::microseconds kPresetNowResidual{250};
inline constexpr int kPresetNowAttempts = 10;

// Throws the std::out_of_range that preset_now() throws on a Board with these settings,
// when the latest second it may aim for (a second and a little after the system clock's
// now) lies outside kFirstBoardTime to kLastBoardTime as UTC or as board time. For checking
// before attaching. Reads CLOCK_REALTIME; no bus access.
void check_preset_now(const Settings &settings);

// One bit of the hardware status word, named where the board gives it a meaning.
struct StatusBit {
    unsigned bit = 0;
    bool set = false;
    std::string name;  // "compare event" for bit 9; "bit N" for the others

    friend bool operator==(const StatusBit &, const StatusBit &) = default;
};

struct Status {
    std::uint32_t hw_status = 0;  // the hardware status word (0xFC) as loaded, byte order applied
    std::uint32_t config = 0;     // the configuration register (0x118)
    bool compare_event = false;   // status bit 9: the time-compare event flag
    bool timer_running = false;   // configuration bit 27 (the timer stop bit) is 0
    std::vector<StatusBit> bits;  // status bits 8 to 13, lowest first
};

// The bit fields of the hardware control, configuration and hardware status registers, as
// the C API's bit-field selectors number them, from the library's one table of each.
struct FieldView {
    unsigned selector = 0;
    unsigned low = 0;    // lowest bit, in the word as the board's byte order gives it
    unsigned width = 0;  // bits
    // The field's use: "compare event clear", "timer stop", "preset load", "compare
    // event"; empty for the fields that have none.
    std::string_view name;
};

struct BitRegisterView {
    std::string_view name;              // as register_map() names it
    std::uint32_t offset;               // its one word, for read_register()
    std::span<const FieldView> fields;  // in selector order
};
// The hardware control (0xF8), configuration (0x118) and hardware status (0xFC) registers,
// in that order.
std::span<const BitRegisterView> bit_registers();

// One register of the board's register map, from the library's one table.
struct RegisterView {
    std::string_view name;  // "configuration", "time compare", ...
    std::uint32_t offset;   // byte offset of its first word in the 512-byte window
    std::uint32_t words;    // 32-bit words
};
// In ascending order of offset as the map lists them (the hardware status word and the
// time-and-status register share 0xFC).
std::span<const RegisterView> register_map();

// ---------------------------------------------------------------------------------------
// The board.
// ---------------------------------------------------------------------------------------

// Thrown by a call that did not get the board lock within Settings::lock_wait: another
// process (or Board) held it all that time, or the system refused it (code() then says
// why). Nothing was accessed; the call may be made again. code() is EBUSY when busy.
class BoardBusy : public std::system_error {
  public:
    using std::system_error::system_error;
};

namespace detail {
class BoardInternals;
}

class Board {
  public:
    // read_settings(config), then Board(settings).
    static Board open(const std::filesystem::path &config);

    // Attaches. First the interrupt node: uio_path, or else the one found from mem_path
    // (a sysfs resource file of a device that korvic_uio is bound to: its /dev/uioN; a
    // register device named boardK, the simulator's: uioK beside it), opened read-write,
    // close-on-exec. A uio_path that cannot be opened, or that is not an interrupt node,
    // throws; a found node that fails is left aside (the waits poll, said once on standard
    // error when first needed). Then, with enable_int paths: with a node, one write(1) to
    // it, no bus access; without, for each path, opens it, maps its 128 bytes, ORs 0x49
    // into the word at 0x4C (one load, one store, no byte order) and releases it again.
    // Then opens mem_path read-write, close-on-exec, and maps its 512-byte window (shared;
    // a sysfs resource file from the page that holds its region, the window where the
    // region starts in it). Only a character device, a sysfs PCI resource file or a file
    // in memory of exactly the window's size is mapped; anything else (an interrupt node
    // too), and a descriptor that would be 0, 1 or 2, is refused first. Throws
    // filesystem_error: "korvic: open interrupt node (UIO_PATH=)", "korvic: interrupt
    // node (UIO_PATH=) ... is not an interrupt node ...", "korvic: ENABLE_INT interrupt
    // node: write", "korvic: ENABLE_INT bridge: open", "korvic: ENABLE_INT bridge device
    // is ..." (ENODEV, or EBADF for a closed standard stream), "korvic: ENABLE_INT bridge:
    // map", "korvic: open register device", "korvic: register device is ...", "korvic:
    // map register window"; nothing stays open after a throw. Every call below that makes
    // more than one access may throw BoardBusy (see "Board lock" at the top).
    explicit Board(const Settings &settings);

    // Move-only. A moved-from Board holds nothing; any call on it but destruction and
    // assignment throws std::logic_error.
    Board(Board &&) noexcept;
    Board &operator=(Board &&) noexcept;
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;
    // Unmaps the window and closes the register device. No bus access.
    ~Board();

    const Settings &settings() const;

    // The current time: snapshot strobe (0xFFFFFFFF three times to 0xFC), then loads of
    // 0xFC, 0x100, 0x104 (snapshot_time's sequence). A board holding a year outside 1970 to
    // 2099 (after reset_time: year 0) gives the instant the formula gives, without a throw.
    utc_time now();
    // now() between two readings of CLOCK_REALTIME (see Sample): the same bus accesses,
    // and nothing but the three strobe stores and the first load between the two readings.
    // The board lock is taken before the first clock reading and released after the last
    // load, so the bracket holds no wait for it. A reading whose bracket is negative (the
    // system clock stepped back inside it) is left out and the reading made again, three
    // readings at most; then ClockStepped.
    Sample sample();
    // `readings` readings (1 to 1000, else std::out_of_range before any access), each
    // sample()'s accesses under the board lock, with CLOCK_MONOTONIC_RAW read just outside
    // the two CLOCK_REALTIME readings (see Reading); the lock is released between readings.
    // The narrowest valid one, and how many were refused. A BoardBusy ends the call.
    BestReading best_of(int readings);
    // Sets the board to the system clock at a whole second: measures what a preset costs on
    // the bus, sleeps until the system clock reaches the next whole second (20 ms or more
    // ahead) less that cost, loads that second and reads the board back (the narrowest of
    // best_of(5)). The wait's last 200 us, the preset and the read-back run under the board
    // lock and, where the system allows it (root, CAP_SYS_NICE), at the lowest real-time
    // priority (SCHED_FIFO; as before afterwards). Woken more than kPresetNowLate after its
    // instant (nothing written) or reading back more than kPresetNowResidual off, it tries
    // again at the next second, kPresetNowAttempts times in all; the result says how far the
    // last attempt got. Bus: loads of 0x158, 0x15C, 0x160 and 0x118 to measure, snapshots
    // before and after the sleep, loads of 0x118 while it waits, then preset()'s accesses
    // and five snapshots. Throws BoardNotRunning, with nothing written, when the board's
    // time did not advance over the sleep; std::out_of_range, before any access, as
    // check_preset_now(); ClockStepped when no reading read back was valid in the last
    // attempt.
    PresetNow preset_now();
    // The time of the last external event: loads of 0x174, 0x178, 0x17C.
    utc_time event_time();
    // The preset time register: loads of 0x158, 0x15C, 0x160. Whole milliseconds.
    utc_time preset_time();
    // The time the last snapshot strobe latched into the time-and-status register: loads of
    // 0xFC, 0x100, 0x104, with no strobe (so no new latch).
    utc_time latched_time();

    // Loads t, truncated to the millisecond (the register holds no microseconds), as the
    // board's new time: stores to 0x158, 0x15C, 0x160, then a read-modify-write of the
    // configuration register (0x118) that sets the preset load bit (bit 26). now() then
    // reads floor<milliseconds>(t) plus the time run since. Throws std::out_of_range,
    // with no bus access, when t or its board time lies outside kFirstBoardTime to
    // kLastBoardTime.
    void preset(utc_time t);

    // Writes the compare time (t's board time, converted and range-checked as by preset,
    // to the microsecond, without the year) and the mask: stores to 0x138, 0x13C. The raw
    // form takes any mask 0 to 15 and throws std::out_of_range for a larger one.
    void set_compare(utc_time t, CompareMask mask);
    void set_compare(utc_time t, unsigned raw_mask);
    // The compare register's power-up value, all digits 0 and mask 15 (no compare): stores
    // to 0x138, 0x13C.
    void set_compare_off();
    // The compare register's digits and mask: loads of 0x138, 0x13C.
    CompareSetting compare();

    // The hardware status word (one load of 0xFC, no strobe) and the configuration
    // register (one load of 0x118).
    Status status();
    // Status bit 9, the time-compare event flag: one load of 0xFC.
    bool compare_flag();
    // Waits until the compare flag is raised (true; the flag stays raised: clear it before
    // the next wait), the deadline passes or stop() returns true (false; asked after each
    // look that found the flag clear). With an interrupt node: write(1) to it and one load
    // of 0xFC under the board lock, then a sleep in poll() on the node for at most 100 ms
    // or until it counts an interrupt, and again. Without: one load of 0xFC every 100
    // microseconds or so. At least one look. May throw BoardBusy.
    bool wait_compare_flag(std::chrono::steady_clock::time_point deadline,
                           const std::function<bool()> &stop = {});
    // The interrupt node that the waits sleep on; empty when they poll.
    std::filesystem::path interrupt_node() const;
    // Writes 1 to hardware control bit 25, which clears the flag: one load and one store
    // of 0xF8, every other bit stored as loaded.
    void clear_compare_flag();
    // Configuration bit 27 (the timer stop bit) to 1 or 0: one load and one store of 0x118.
    void stop_timer();
    void start_timer();
    // Configuration bit 27 is 0: one load of 0x118.
    bool timer_running();

    // One load of the word at `offset` (a multiple of 4 inside a register of
    // register_map()), through the board's byte order. Throws std::out_of_range, with no
    // bus access, for any other offset.
    std::uint32_t read_register(std::uint32_t offset);

  private:
    struct Impl;
    friend class EventWatcher;
    friend class detail::BoardInternals;
    explicit Board(std::unique_ptr<Impl> impl);
    Impl &live();
    const Impl &live() const;

    std::unique_ptr<Impl> impl_;
};

// External events: the board captures its time into the external event register (0x174,
// 0x178, 0x17C) on each event; a new capture shows as a change of those three words.
// Reading the register's first word acknowledges the capture to the board (which lowers
// its interrupt for it).
class EventWatcher {
  public:
    // Reads the register once: what it holds now is not a new event. The Board must
    // outlive the watcher and stay where it is (not moved from).
    explicit EventWatcher(Board &board);

    // One reading of the register's three words. The time of a new capture, or nothing.
    // A reading that differs from the last capture is read again until two readings agree
    // (at most three more), so that a capture landing between the loads of one reading is
    // not reported half-old, half-new.
    std::optional<utc_time> poll();

    // Waits for a new capture, the deadline, or stop() returning true (asked after each
    // poll that found nothing; for Ctrl-C in a command-line tool or Python). Polls at least
    // once. With an interrupt node (Board::interrupt_node()): write(1) to the node and a
    // poll() of the register under the board lock, then a sleep on the node for at most
    // 100 ms or until it counts an interrupt, and again; a compare flag that nobody clears
    // stays masked and wakes nobody. Without: a poll every 100 microseconds or so. Either
    // way a 1 kHz event train is followed without a loss. May throw BoardBusy.
    std::optional<utc_time> wait_until(std::chrono::steady_clock::time_point deadline,
                                       const std::function<bool()> &stop = {});

  private:
    Board *board_;
    std::array<std::uint32_t, 3> last_{};
};

}  // namespace korvic
