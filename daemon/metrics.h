// What korvicd tells about itself, as values and text: the counts since start beside the
// --stats interval's, a snapshot of the daemon's state, the STATUS= line systemd shows,
// and the Prometheus text exposition that node_exporter's textfile collector reads. Pure:
// the files and the socket are telemetry.h's.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core.h"

namespace korvicd {

// The name of a drop reason in metrics ("wide_bracket", ...) and, with blanks for the
// underscores, in the STATUS line; empty past the last reason. A new Drop is a new case
// here (the compiler asks for it), and then counts, shows and is exported everywhere.
constexpr std::string_view drop_name(Drop d) {
    switch (d) {
        case Drop::wide_bracket:
            return "wide_bracket";
        case Drop::untrusted:
            return "untrusted";
        case Drop::beyond_max_offset:
            return "beyond_max_offset";
        case Drop::queue_full:
            return "queue_full";
        case Drop::chronyd_away:
            return "chronyd_away";
        case Drop::board_busy:
            return "board_busy";
        case Drop::clock_stepped:
            return "clock_stepped";
    }
    return {};
}

// How many values an enumeration whose values count from 0 has: the first one without a name.
template <typename Enum>
constexpr std::size_t count_named(std::string_view (*name)(Enum)) {
    std::size_t n = 0;
    while (!name(static_cast<Enum>(n)).empty())
        ++n;
    return n;
}
inline constexpr std::size_t kDropReasons = count_named(drop_name);

// A health state's name in metrics: to_string()'s with underscores for blanks ("rate_error").
std::string health_name(Health h);

// Samples by outcome since korvicd started; never reset.
struct Totals {
    std::uint64_t fed = 0;
    std::array<std::uint64_t, kDropReasons> dropped{};
    // The last fed sample's offset and bracket; none before the first.
    std::optional<korvic::Offset> last_offset;
    std::optional<nanoseconds> last_bracket;
    // Readings left out because the system clock stepped back inside them.
    std::uint64_t readings_refused = 0;

    std::uint64_t dropped_count() const;
    // Whether a burst has read the board at all (every outcome but "board busy" had readings).
    bool board_answered() const;
};

// The --stats interval's statistics and the totals since start, counted by one call.
// reset() ends an interval: the totals count on.
class Tally {
  public:
    void kept(const korvic::Offset &offset, nanoseconds bracket);
    void dropped(Drop why);
    void refused(int readings);
    std::string line(nanoseconds interval) const { return interval_.line(interval); }
    void reset() { interval_.reset(); }
    const Totals &totals() const { return totals_; }

  private:
    Stats interval_;
    Totals totals_;
};

// One output and whether samples reach it: SOCK (target: the socket's path; down while
// chronyd is away) or SHM (target: the unit; always up once attached).
struct OutputState {
    std::string kind;
    std::string target;
    bool up = true;
};

struct Snapshot {
    std::string board;  // the board's name: a label on every metric
    Health health = Health::starting;
    Totals totals;
    std::vector<OutputState> outputs;
    std::vector<StatusRequirement> required;   // --require-status
    std::optional<StatusRequirement> unmet;    // the one the last reading did not meet
    std::optional<std::uint32_t> status_word;  // latched with the last reading judged
    int leap = 0;  // the leap field: 1 a second inserted at the end of the UTC day, 2 deleted
};

// The board's name from its configuration file: the file name less ".dat"
// ("/etc/korvic/a.dat": "a"; "korvic_cfg.dat": "korvic_cfg").
std::string board_name(std::string_view config);

// systemd's STATUS= text: "ok; offset -250.013 ms, bracket 181.2 us; fed 1200, dropped 3
// (untrusted 3)", the health state first (a status mismatch names its bit: "status
// mismatch: status bit 8 reads 0 (--require-status 8=1); ..."); "nothing fed yet" before
// the first sample; a leap second announced for the end of the UTC day ("; leap second
// inserted at the end of the day"), and each output that samples do not reach at the end
// ("; sock /run/x.sock unreachable").
std::string status_text(const Snapshot &s);

// ---------------------------------------------------------------------------------------
// The Prometheus text exposition.
// ---------------------------------------------------------------------------------------

using Labels = std::vector<std::pair<std::string_view, std::string>>;

// A label value as the format quotes it: '\', '"' and line feeds escaped.
std::string escape_label_value(std::string_view value);
// A sample value: the shortest text that reads back as the same double ("0.25", "-1e-06",
// "3"); "NaN", "+Inf", "-Inf".
std::string sample_value(double v);

// Metric families in the order first added, each with its HELP and TYPE once and its
// samples together, every sample with the common labels first; no timestamps (the textfile
// collector refuses them). Adding a sample of a family that exists appends to it.
class Exposition {
  public:
    explicit Exposition(Labels common) : common_(std::move(common)) {}
    void gauge(std::string_view name, std::string_view help, double value,
               const Labels &labels = {});
    void counter(std::string_view name, std::string_view help, std::uint64_t value,
                 const Labels &labels = {});
    std::string text() const;

  private:
    void add(std::string_view type, std::string_view name, std::string_view help,
             const Labels &labels, const std::string &value);
    struct Family {
        std::string name, type, help, samples;
    };
    Labels common_;
    std::vector<Family> families_;
};

// korvicd's metrics, each labelled board="NAME": build info, the health state (one sample
// per state, 1 for the current one), the last fed offset and bracket in seconds, samples
// fed and dropped by reason and readings refused since start, each output's state, each
// bit of --require-status (the value required, and the value read once a reading came),
// and the leap second pending at the end of the UTC day (1 inserted, -1 deleted, 0 none).
std::string metrics_text(const Snapshot &s, std::string_view version);

}  // namespace korvicd
