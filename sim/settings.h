// Settings of the simulated board, shared by the launcher (command-line options) and the
// preload shim (environment variables), with their parsers. One parser per kind of value,
// used for the options and the variables alike, so both accept and refuse the same texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "calendar.h"
#include "clock.h"

namespace korvic::sim {

// Environment variables read by the preload shim (set by the launcher). Those marked
// "per board" set every board; the same name with "_K" appended (KORVIC_SIM_OFFSET_2) sets
// board K, over the name without it; for the lists (stop/jump moments) it adds to it.
inline constexpr const char *kEnvBoards = "KORVIC_SIM_BOARDS";
inline constexpr const char *kEnvMemPath = "KORVIC_SIM_MEM_PATH";      // per board
inline constexpr const char *kEnvIntPath = "KORVIC_SIM_INT_PATH";      // per board
inline constexpr const char *kEnvClock = "KORVIC_SIM_CLOCK";           // "real" or "virtual"
inline constexpr const char *kEnvStart = "KORVIC_SIM_START";           // per board
inline constexpr const char *kEnvStep = "KORVIC_SIM_STEP";             // per board
inline constexpr const char *kEnvOffset = "KORVIC_SIM_OFFSET";         // per board
inline constexpr const char *kEnvDrift = "KORVIC_SIM_DRIFT";           // per board
inline constexpr const char *kEnvStopAt = "KORVIC_SIM_STOP_AT";        // per board, a list
inline constexpr const char *kEnvJumpAt = "KORVIC_SIM_JUMP_AT";        // per board, a list
inline constexpr const char *kEnvStatusAt = "KORVIC_SIM_STATUS_AT";    // per board, a list
inline constexpr const char *kEnvLeapAt = "KORVIC_SIM_LEAP_AT";        // per board
inline constexpr const char *kEnvBusOrder = "KORVIC_SIM_BUS_ORDER";    // per board
inline constexpr const char *kEnvExtPeriod = "KORVIC_SIM_EXT_PERIOD";  // per board
inline constexpr const char *kEnvExtSignal = "KORVIC_SIM_EXT_SIGNAL";  // per board
inline constexpr const char *kEnvTrace = "KORVIC_SIM_TRACE";
inline constexpr const char *kEnvTraceTsv = "KORVIC_SIM_TRACE_TSV";
// The run's shared board state, made by the launcher: every process of the run maps it.
inline constexpr const char *kEnvShared = "KORVIC_SIM_SHARED";
// The process that the launcher became (the program): at its exit, the preload library
// removes the run's directory.
inline constexpr const char *kEnvProgramPid = "KORVIC_SIM_PROGRAM_PID";
// Set by the launcher for the programs of the run: the run's directory, which holds a
// korvic_cfg.dat for board 1 and korvic_cfg.K.dat for board K, and the configuration that
// korvic, korvicd and Python's korvic.Board() read (korvic::config_path).
inline constexpr const char *kEnvRunDir = "KORVIC_SIM_RUN_DIR";
inline constexpr const char *kEnvConfig = "KORVIC_CONFIG";
// Read by the launcher only: where the preload library is.
inline constexpr const char *kEnvPreload = "KORVIC_SIM_PRELOAD";

// The device paths the simulator answers for, unless the settings name others: board 1's
// are these, board K's (K >= 2) these with K appended.
inline constexpr const char *kDefaultMemPath = "/dev/korvic_sim/board";
inline constexpr const char *kDefaultIntPath = "/dev/korvic_sim/bridge";
// Each board's interrupt node (uio_node.h): board 1's, and board K's with K appended,
// whatever its device paths.
inline constexpr const char *kDefaultUioPath = "/dev/korvic_sim/uio";

// The most boards one run simulates.
inline constexpr int kMaxBoards = 64;

// The longest device path that a MEM_PATH= or INT_PATH= line of korvic_cfg.dat carries
// whole: the library reads a line into 128 bytes (127 characters and the terminator), and
// the key takes 9 of them. A longer path would be cut, and the program would open a path
// that nobody serves.
inline constexpr std::size_t kMaxDevicePathLength = 127 - 9;

// The board's year digits run from 0000 to 9999, and its time starts no earlier than 1970:
// a start time must lie in that span.
inline constexpr std::int32_t kFirstStartYear = 1970;
inline constexpr std::int32_t kLastStartYear = 9999;
// The largest virtual clock step per register access, and the longest period of the
// periodic external event: one day. At that step the board reaches the end of its range
// (kBoardLatestUs, year 99999) only after some 35 million accesses, and stands there.
inline constexpr std::int64_t kMaxStepUs = kUsPerDay;
inline constexpr std::int64_t kMaxPeriodUs = kUsPerDay;
// The largest rate error of a board's clock, either way: 10 %, in parts per billion.
inline constexpr std::int64_t kMaxDriftPpb = 100'000'000;
// The most stand-stills and jumps one board takes, and the most status faults.
inline constexpr std::size_t kMaxClockEvents = 64;
inline constexpr std::size_t kMaxStatusFaults = 64;

// One board's settings.
struct BoardSettings {
    std::string mem_path = kDefaultMemPath;
    std::string int_path = kDefaultIntPath;
    std::optional<std::int64_t> start_us;    // default: the host's time now
    std::int64_t step_us = 0;                // virtual clock: advance per register access
    std::optional<std::int64_t> offset_us;   // real clock: board time = host time + offset
    std::int64_t drift_ppb = 0;              // rate error of the board's clock
    std::vector<ClockEvent> events;          // stand-stills and jumps, sorted by moment
    std::vector<StatusFault> status_faults;  // sorted by moment
    std::optional<LeapSecond> leap;
    BusOrder bus_order = BusOrder::Native;
    std::int64_t external_event_period_us = 0;
    int external_event_signal = 0;  // 0: none

    // Board k's settings before any is given: its default device paths.
    static BoardSettings defaults(int k);
};

struct SimSettings {
    bool virtual_clock = false;
    std::string trace_path;      // human form
    std::string trace_tsv_path;  // machine form
    std::vector<BoardSettings> boards = {BoardSettings{}};

    // Board k, counted from 1.
    BoardSettings &board(int k = 1) { return boards.at(static_cast<std::size_t>(k - 1)); }
    const BoardSettings &board(int k = 1) const {
        return boards.at(static_cast<std::size_t>(k - 1));
    }
};

// The name of board k's own variable for the per-board variable `name`: "NAME_k".
std::string board_variable(std::string_view name, int k);
// True when `name` is a per-board variable.
bool is_board_variable(std::string_view name);

// Every parser below returns nothing for a text it refuses and then, when `why` is given,
// puts there a short reason for a message such as `--step "5x": <why>`.

// A time, by the library's parser (korvic::parse_time) where it can be: a calendar date
// "YYYY-MM-DDThh:mm:ss[.ffffff][Z]" (a blank for the T allowed), "@SECONDS[.ffffff]" since
// 1970 UTC, or the board's own day of the year, counted from 0: "YYYY+DDDd hh:mm:ss[.ffffff]"
// (2026+100d is 11 April 2026; T for the blank allowed). An ISO 8601 ordinal date
// ("2026-100", day counted from 001) is refused with both readings: the board counts its
// days from 000, and a start one day off would go unnoticed. Years 1970 to 9999.
// Microseconds since 1970.
std::optional<std::int64_t> parse_time(std::string_view text, std::string *why = nullptr);

// A duration, by the library's parser (korvic::parse_duration: a number with a unit, "ns",
// "us", "ms", "s", "min" or "h", a decimal fraction allowed, zero alone without a unit;
// with Sign::Allowed a leading '+' or '-'), that must come to whole microseconds (the
// board's resolution). Microseconds. The reason for a refusal is the library's, or
// "finer than a microsecond", or "too large" beyond the library's 64-bit nanosecond count.
enum class Sign : std::uint8_t { Refused, Allowed };
std::optional<std::int64_t> parse_duration_us(std::string_view text, Sign sign = Sign::Refused,
                                              std::string *why = nullptr);

// A rate error in parts per million: a signed decimal number with up to three decimals,
// "ppm" after it if wanted ("-12.5", "+40ppm"), at most kMaxDriftPpb either way. Parts
// per billion.
std::optional<std::int64_t> parse_drift(std::string_view text, std::string *why = nullptr);

// "AT[:FOR]": the board's clock stands still from AT into the run for FOR (both
// durations, FOR above 0; without it, to the end of the run).
std::optional<ClockEvent> parse_stop_at(std::string_view text, std::string *why = nullptr);
// "AT:STEP": the board's clock steps by STEP (a signed duration, not 0) at AT into the run.
std::optional<ClockEvent> parse_jump_at(std::string_view text, std::string *why = nullptr);

// "AT:BIT=VALUE[:FOR]": status bit BIT (8, 10, 12 or 13) reads VALUE (0 or 1) from AT into
// the run for FOR (durations, FOR above 0; without it, to the end of the run). Bit 9, the
// compare event flag, is refused: software clears it, and the board raises it.
std::optional<StatusFault> parse_status_at(std::string_view text, std::string *why = nullptr);
// "TIME[:insert|:delete][:60|:repeat]": a leap second before TIME (a time as parse_time
// takes it, at a whole minute), inserted (the default) or deleted; an inserted one shown as
// hh:mm:60 (the default) or as hh:mm:59 repeated. A deleted second is shown neither way.
std::optional<LeapSecond> parse_leap_at(std::string_view text, std::string *why = nullptr);

std::optional<BusOrder> parse_bus_order(std::string_view text, std::string *why = nullptr);

// A signal for the external event request, by number or by name ("USR1", "SIGUSR2", "usr1",
// "RTMIN+2", "SIGRTMAX-1"). Only signals that nothing else in the simulator or the launcher
// uses, that can be caught, and whose handler may return: USR1, USR2, ALRM, VTALRM, URG,
// WINCH, IO, PWR and the real-time signals the C library leaves to programs. 0 when refused.
int parse_signal(std::string_view text, std::string *why = nullptr);
// "SIGUSR1", "SIGRTMIN+2", or "signal N".
std::string signal_name(int sig);

// A register or bridge device path: not empty, no blank or control character (korvic_cfg.dat
// ends a path there), at most kMaxDevicePathLength characters.
bool check_device_path(std::string_view text, std::string *why = nullptr);

// Applies one KORVIC_SIM_* variable `name` with the text `value` to *s (a per-board one to
// every board of *s), with the parser and the bounds of that setting (a step of at most
// kMaxStepUs, a period above 0 and at most kMaxPeriodUs, ...). An empty value leaves the
// setting as it is. False, with the reason in *why, when the value is refused or the name
// is not a setting. KORVIC_SIM_BOARDS sets the number of boards, each with its defaults.
bool apply_setting(const char *name, std::string_view value, SimSettings *s,
                   std::string *why = nullptr);

// Checks that need several settings at once: every device path is another; an offset
// needs the real clock and no start time on its board; stand-stills of a board do not
// overlap.
bool check_settings(const SimSettings &s, std::string *why = nullptr);

// Reads the KORVIC_SIM_* variables through `get` (getenv in the shim): the number of
// boards, the run's settings, then for each board K every per-board variable and its
// "_K" form. On a refused value returns nothing and puts the variable's name, its value and
// the reason in *error.
using GetEnv = std::function<const char *(const char *)>;
std::optional<SimSettings> settings_from_env(const GetEnv &get, std::string *error);

}  // namespace korvic::sim
