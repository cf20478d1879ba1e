// korvicd's command line: every option checked before anything is opened.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "status.h"

namespace korvicd {

struct Options {
    double rate_hz = 1.0;                                   // --rate
    int readings = 5;                                       // --readings
    std::chrono::nanoseconds max_bracket{200'000};          // --max-bracket
    std::chrono::nanoseconds offset{0};                     // --offset (signed)
    std::optional<std::chrono::nanoseconds> max_offset;     // --max-offset
    std::optional<std::string> sock;                        // --sock
    std::optional<int> shm_unit;                            // --shm
    std::optional<int> shm_perm;                            // --shm-perm (a new segment: 0600)
    double max_rate_ppm = 500.0;                            // --max-rate-error
    std::chrono::nanoseconds max_step{1'000'000'000};       // --max-step
    std::chrono::nanoseconds step_holdoff{60'000'000'000};  // --step-holdoff
    bool verbose = false;                                   // -v
    std::optional<std::chrono::nanoseconds> stats;          // --stats
    bool once = false;                                      // --once
    std::string config = "korvic_cfg.dat";                  // --config, $KORVIC_CONFIG
    std::chrono::nanoseconds lock_wait{100'000'000};        // --lock-wait
    std::optional<std::string> metrics_file;                // --metrics-file
    // --leap-file: nothing for the system's table where there is one, "" for none.
    std::optional<std::string> leap_file;
    std::vector<StatusRequirement> require_status;  // --require-status, in bit order
};

// The outcome of reading the command line: options to run with, or a text to print and
// an exit status (0 for --help and --version on standard output, 2 for a usage error on
// standard error, one line that names the option and the value).
struct ParsedOptions {
    std::optional<Options> options;
    int status = 0;
    std::string text;
};

ParsedOptions parse_options(int argc, const char *const *argv);

}  // namespace korvicd
