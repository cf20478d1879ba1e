#include "options.h"

#include <sys/un.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "command_line.h"
#include "korvic/board.hpp"
#include "leap.h"
#include "quoting.h"

namespace korvicd {

namespace {

using std::chrono::nanoseconds;

struct UsageError {
    std::string message;
};

[[noreturn]] void bad(const std::string &option, const std::string &value, const std::string &why) {
    throw UsageError{option + " " + korvic::detail::quote(value) + ": " + why};
}

double number(const std::string &option, const std::string &text, double low, double high) {
    double v = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc{} || ptr != end || !std::isfinite(v))
        bad(option, text, "not a number");
    if (v < low || v > high) {
        char range[80];
        std::snprintf(range, sizeof range, "outside %g to %g", low, high);
        bad(option, text, range);
    }
    return v;
}

int integer(const std::string &option, const std::string &text, int low, int high, int base = 10) {
    int v = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, v, base);
    if (text.empty() || ec == std::errc::invalid_argument || ptr != end)
        bad(option, text, base == 8 ? "not an octal number" : "not a whole number");
    if (ec == std::errc::result_out_of_range || v < low || v > high) {
        char range[80];
        std::snprintf(range, sizeof range, base == 8 ? "outside %o to %o" : "outside %d to %d", low,
                      high);
        bad(option, text, range);
    }
    return v;
}

// The longest duration any option takes (--offset: either way): every sum korvicd forms
// with one (a board time plus the offset, a deadline on the monotonic clock) stays far
// inside 64 bits of nanoseconds.
constexpr nanoseconds kLongest = std::chrono::hours{24};

nanoseconds duration(const std::string &option, const std::string &text, bool allow_sign,
                     bool zero_ok) {
    nanoseconds d{0};
    try {
        d = korvic::parse_duration(text, allow_sign);
    } catch (const std::exception &e) {
        // The library's text names the value again: "korvic: duration "TEXT": why".
        std::string why = e.what();
        const std::string prefix = "korvic: duration " + korvic::detail::quote(text) + ": ";
        if (why.starts_with(prefix))
            why.erase(0, prefix.size());
        bad(option, text,
            dynamic_cast<const std::out_of_range *>(&e) != nullptr
                ? why
                : "not a duration with a unit (250ms, 1.5s, 200us): " + why);
    }
    if (!allow_sign && !zero_ok && d <= nanoseconds{0})
        bad(option, text, "must be more than 0");
    if (d > kLongest || d < -kLongest)
        bad(option, text, allow_sign ? "more than 24h either way" : "more than 24h");
    return d;
}

}  // namespace

ParsedOptions parse_options(int argc, const char *const *argv) {
    CLI::App app{
        "korvicd: reads the korvic board's time and feeds it to chrony (SOCK) or to ntpd or\n"
        "chrony (NTP shared memory) as a reference clock. It never sets the clock itself.",
        "korvicd"};
    app.set_help_flag("-h,--help", "Print this help and exit");
    app.set_version_flag("--version", "korvicd " KORVICD_VERSION, "Print the version and exit");
    app.get_formatter()->column_width(30);

    std::string rate, readings, max_bracket, offset, max_offset, sock, shm, shm_perm, max_rate,
        max_step, step_holdoff, stats, config, lock_wait, metrics_file, leap_file;
    std::vector<std::string> require_status;
    Options o;
    app.add_option("--rate", rate, "Bursts of readings per second (default 1, up to 1000)")
        ->type_name("HZ");
    app.add_option("--readings", readings,
                   "Readings per burst; the narrowest bracket is kept (default 5)")
        ->type_name("N");
    app.add_option("--max-bracket", max_bracket,
                   "Drop a sample whose bracket is wider (default 200us)")
        ->type_name("DURATION");
    app.add_option("--offset", offset,
                   "Fixed correction added to every offset, signed (e.g. cable delay)")
        ->type_name("DURATION");
    app.add_option("--max-offset", max_offset,
                   "Refuse samples further than this from the system clock (default: none)")
        ->type_name("DURATION");
    app.add_option("--sock", sock, "Send chrony SOCK samples to this socket path")
        ->type_name("PATH");
    app.add_option("--shm", shm, "Write the NTP shared-memory segment of this unit (0-255)")
        ->type_name("UNIT");
    app.add_option("--shm-perm", shm_perm,
                   "Permissions of the segment, octal: given, also set on one that exists "
                   "(default: 0600 for a segment korvicd creates)")
        ->type_name("MODE");
    app.add_option("--max-rate-error", max_rate,
                   "Distrust a board that runs faster or slower than this (default 500)")
        ->type_name("PPM");
    app.add_option("--max-step", max_step,
                   "Distrust a board whose time steps by more than this (default 1s)")
        ->type_name("DURATION");
    app.add_option("--step-holdoff", step_holdoff,
                   "Believe a board that stepped once it has held its new offset this long "
                   "(default 60s)")
        ->type_name("DURATION");
    app.add_flag("-v,--verbose", o.verbose, "One log line per sample")->disable_flag_override();
    app.add_option("--stats", stats, "Print a summary line at this interval")
        ->type_name("INTERVAL");
    app.add_option("--metrics-file", metrics_file,
                   "Write Prometheus metrics to this file at the --stats interval (default "
                   "10s)")
        ->type_name("PATH");
    app.add_flag("--once", o.once, "Print one sample on standard output and exit")
        ->disable_flag_override();
    app.add_option("--config", config,
                   "The board's korvic_cfg.dat (default $KORVIC_CONFIG, else ./korvic_cfg.dat)")
        ->type_name("PATH");
    app.add_option("--lock-wait", lock_wait,
                   "Wait this long for the board lock, else drop the sample (default 100ms, "
                   "0 to 1s)")
        ->type_name("DURATION");
    app.add_option("--leap-file", leap_file,
                   std::string("The leap second table, leap-seconds.list format, or none "
                               "(default ") +
                       kSystemLeapFile + " where present)")
        ->type_name("PATH");
    app.add_option("--require-status", require_status,
                   "Feed only while status bit BIT reads VALUE (8=1; bits 8, 10, 12, 13; may "
                   "be given again)")
        ->type_name("BIT=VALUE");

    ParsedOptions out;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        out.text = app.help();
        return out;
    } catch (const CLI::CallForVersion &) {
        out.text = "korvicd " KORVICD_VERSION "\n";
        return out;
    } catch (const CLI::ParseError &e) {
        const std::string what = korvic::program::command_line_problem(
            app, e, std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
        out.status = 2;
        out.text = "korvicd: " + korvic::detail::printable(what, 3 * korvic::detail::kShownLength) +
                   " (korvicd --help lists the options)\n";
        return out;
    }

    try {
        auto given = [&](const char *name) { return app.count(name) > 0; };
        if (given("--rate"))
            o.rate_hz = number("--rate", rate, 0.001, 1000);
        if (given("--readings"))
            o.readings = integer("--readings", readings, 1, 100);
        if (given("--max-bracket"))
            o.max_bracket = duration("--max-bracket", max_bracket, false, false);
        if (given("--offset"))
            o.offset = duration("--offset", offset, true, true);
        if (given("--max-offset"))
            o.max_offset = duration("--max-offset", max_offset, false, false);
        if (given("--sock")) {
            if (sock.empty())
                bad("--sock", sock, "an empty path");
            if (sock.size() >= sizeof(sockaddr_un{}.sun_path))
                bad("--sock", sock,
                    "longer than the " + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) +
                        " characters a socket path may have");
            o.sock = sock;
        }
        if (given("--shm"))
            o.shm_unit = integer("--shm", shm, 0, 255);
        if (given("--shm-perm"))
            o.shm_perm = integer("--shm-perm", shm_perm, 0, 0777, 8);
        if (given("--max-rate-error"))
            o.max_rate_ppm = number("--max-rate-error", max_rate, 1, 1e6);
        if (given("--max-step"))
            o.max_step = duration("--max-step", max_step, false, false);
        if (given("--step-holdoff"))
            o.step_holdoff = duration("--step-holdoff", step_holdoff, false, false);
        if (given("--stats"))
            o.stats = duration("--stats", stats, false, false);
        if (given("--lock-wait")) {
            o.lock_wait = duration("--lock-wait", lock_wait, false, true);
            // A burst waits for the lock once at most: the watchdog's interval is far.
            if (o.lock_wait > std::chrono::seconds{1})
                bad("--lock-wait", lock_wait, "more than 1s");
        }
        if (given("--metrics-file")) {
            if (metrics_file.empty() || metrics_file.ends_with('/'))
                bad("--metrics-file", metrics_file, "not a file name");
            o.metrics_file = metrics_file;
        }
        if (given("--leap-file")) {
            if (leap_file.empty())
                bad("--leap-file", leap_file, "an empty path (none: no table)");
            o.leap_file = leap_file == "none" ? std::string() : leap_file;
        }
        for (const std::string &r : require_status) {
            std::string why;
            const auto req = parse_status_requirement(r, &why);
            if (!req)
                bad("--require-status", r, why);
            const auto same =
                std::find_if(o.require_status.begin(), o.require_status.end(),
                             [&](const StatusRequirement &x) { return x.bit == req->bit; });
            if (same != o.require_status.end() && same->value != req->value)
                bad("--require-status", r,
                    "bit " + std::to_string(req->bit) + " is required to read 1 and 0");
            if (same == o.require_status.end())
                o.require_status.insert(
                    std::upper_bound(o.require_status.begin(), o.require_status.end(), *req,
                                     [](const StatusRequirement &a, const StatusRequirement &b) {
                                         return a.bit < b.bit;
                                     }),
                    *req);
        }
        if (given("--config") && config.empty())
            bad("--config", config, "an empty path");
        o.config = korvic::config_path(config).string();
        if (!o.once && !o.sock && !o.shm_unit)
            throw UsageError{"nothing to feed: give --sock PATH, --shm UNIT (or both), or --once"};
        if (o.once && (o.sock || o.shm_unit || o.metrics_file))
            throw UsageError{
                "--once prints one sample and feeds nothing: not with --sock, "
                "--shm or --metrics-file"};
    } catch (const UsageError &e) {
        out.status = 2;
        out.text = "korvicd: " + e.message + "\n";
        return out;
    }
    out.options = o;
    return out;
}

}  // namespace korvicd
