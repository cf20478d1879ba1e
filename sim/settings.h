// Settings of the simulated board, shared by the launcher (command-line options) and the
// preload shim (environment variables), with their parsers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "board.h"

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

// A time: "YYYY-DDD hh:mm:ss[.ffffff]" (day of year from 0, as the board counts),
// "YYYY-MM-DD hh:mm:ss[.ffffff]" (calendar date), either with 'T' in place of the blank,
// or "@SECONDS[.ffffff]" since 1970 UTC. Microseconds since 1970.
std::optional<std::int64_t> parse_time(std::string_view text);
// A duration: an integer with a unit, "us", "ms", "s", "min" or "h" (no unit: microseconds).
std::optional<std::int64_t> parse_duration(std::string_view text);
std::optional<BusOrder> parse_bus_order(std::string_view text);
// A signal by number or name ("USR1", "SIGUSR2"); 0 when unknown.
int parse_signal(std::string_view text);

// Reads the KORVIC_SIM_* variables through `get` (getenv in the shim). On a malformed value
// returns nothing and puts the variable's name and value in *error.
using GetEnv = char *(*)(const char *);
std::optional<SimSettings> settings_from_env(GetEnv get, std::string *error);

}  // namespace korvic::sim
