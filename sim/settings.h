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

#include "board.h"
#include "calendar.h"

namespace korvic::sim {

// Environment variables read by the preload shim (set by the launcher).
inline constexpr const char *kEnvMemPath = "KORVIC_SIM_MEM_PATH";
inline constexpr const char *kEnvIntPath = "KORVIC_SIM_INT_PATH";
inline constexpr const char *kEnvClock = "KORVIC_SIM_CLOCK";  // "real" or "virtual"
inline constexpr const char *kEnvStart = "KORVIC_SIM_START";
inline constexpr const char *kEnvStep = "KORVIC_SIM_STEP";
inline constexpr const char *kEnvBusOrder = "KORVIC_SIM_BUS_ORDER";  // "native", "swapped"
inline constexpr const char *kEnvExtPeriod = "KORVIC_SIM_EXT_PERIOD";
inline constexpr const char *kEnvExtSignal = "KORVIC_SIM_EXT_SIGNAL";
inline constexpr const char *kEnvTrace = "KORVIC_SIM_TRACE";
inline constexpr const char *kEnvTraceTsv = "KORVIC_SIM_TRACE_TSV";
// Read by the launcher only: where the preload library is.
inline constexpr const char *kEnvPreload = "KORVIC_SIM_PRELOAD";

// The device paths the simulator answers for, unless the settings name others.
inline constexpr const char *kDefaultMemPath = "/dev/korvic_sim/board";
inline constexpr const char *kDefaultIntPath = "/dev/korvic_sim/bridge";

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

struct SimSettings {
    std::string mem_path = kDefaultMemPath;
    std::string int_path = kDefaultIntPath;
    bool virtual_clock = false;
    std::optional<std::int64_t> start_us;  // default: the host's time now
    std::int64_t step_us = 0;              // virtual clock: advance per register access
    BusOrder bus_order = BusOrder::Native;
    std::int64_t external_event_period_us = 0;
    int external_event_signal = 0;  // 0: none
    std::string trace_path;         // human form
    std::string trace_tsv_path;     // machine form
};

// Every parser below returns nothing for a text it refuses and then, when `why` is given,
// puts there a short reason for a message such as `--step "5x": <why>`.

// A time: "YYYY-DDD hh:mm:ss[.ffffff]" (day of year from 0, as the board counts),
// "YYYY-MM-DD hh:mm:ss[.ffffff]" (calendar date), either with 'T' in place of the blank,
// or "@SECONDS[.ffffff]" since 1970 UTC; years 1970 to 9999. Microseconds since 1970.
std::optional<std::int64_t> parse_time(std::string_view text, std::string *why = nullptr);

// A duration: a number with a unit, "us", "ms", "s", "min" or "h"; a decimal fraction is
// taken when the result is a whole number of microseconds ("1.5s", "0.25ms"). Zero alone
// needs no unit. With Sign::Allowed a leading '+' or '-' is taken too ("-1.5s"). Values
// beyond the 64-bit microsecond count are refused. Microseconds.
enum class Sign : std::uint8_t { Refused, Allowed };
std::optional<std::int64_t> parse_duration(std::string_view text, Sign sign = Sign::Refused,
                                           std::string *why = nullptr);

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

// Applies one KORVIC_SIM_* variable `name` with the text `value` to *s, with the parser and
// the bounds of that setting (a step of at most kMaxStepUs, a period above 0 and at most
// kMaxPeriodUs, ...). An empty value leaves the setting as it is. False, with the reason in
// *why, when the value is refused or the name is not a setting.
bool apply_setting(const char *name, std::string_view value, SimSettings *s,
                   std::string *why = nullptr);

// Checks that need several settings at once: the register and bridge devices need two
// different paths.
bool check_settings(const SimSettings &s, std::string *why = nullptr);

// Reads the KORVIC_SIM_* variables through `get` (getenv in the shim). On a refused value
// returns nothing and puts the variable's name, its value and the reason in *error.
using GetEnv = std::function<const char *(const char *)>;
std::optional<SimSettings> settings_from_env(const GetEnv &get, std::string *error);

}  // namespace korvic::sim
