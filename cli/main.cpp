// korvic: one command per job on a korvic timing board, for scripts, test rigs and
// operators. Every argument is checked before the board is attached (attaching already
// writes to the bridge when ENABLE_INT is set): a usage error writes nothing to the board.
//
// Exit status: 0 success; 1 a board or system failure, standard output closed or failing,
// or a timeout before --count was reached; 2 a usage error; a command that waits and is
// ended by SIGINT or SIGTERM ends by that signal after its last whole line (130 or 143 in a
// shell).
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "command_line.h"
#include "commands.h"
#include "korvic/board.hpp"
#include "korvic/korvic_api.h"
#include "output.h"
#include "quoting.h"
#include "standard_streams.h"
#include "stop.h"

namespace {

using korvic::cli::Failure;
using korvic::cli::UsageError;
using korvic::detail::quote;
using korvic::detail::shown;

// Everything the command line says, as text until it is checked.
struct CommandLine {
    std::string config;  // --config; empty: korvic::config_path() decides
    bool json = false;
    std::string format = "iso";
    std::uint64_t count = 0;
    std::string interval = "1s";
    std::string timeout;
    std::string time;   // preset, compare: TIME, "now" or "off"
    std::string every;  // compare --every
    std::string timer;  // start or stop
    std::string lock_wait;
};

// A checked command: what to check against the board's settings before attaching, and what
// to run on the attached board.
struct Job {
    std::function<void(const korvic::Settings &)> check = [](const korvic::Settings &) {};
    std::function<int(korvic::Board &, const korvic::cli::Output &)> run;
    std::optional<std::chrono::nanoseconds> lock_wait;  // --lock-wait
};

// `text` without `prefix` in front, when it is there.
std::string without(std::string_view prefix, const std::string &text) {
    return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

std::chrono::nanoseconds duration_option(const std::string &option, const std::string &text) {
    try {
        return korvic::parse_duration(text);
    } catch (const std::exception &e) {
        // The library says "korvic: duration \"TEXT\": why"; put the option in front.
        throw UsageError("korvic: " + option + ": " + without("korvic: ", e.what()));
    }
}

korvic::utc_time time_argument(const std::string &what, const std::string &text) {
    try {
        return korvic::parse_time(text);
    } catch (const std::exception &e) {
        throw UsageError("korvic: " + what + ": " + without("korvic: ", e.what()));
    }
}

// The range check of preset and set_compare, without the board; a usage error.
void check_time(const std::string &what, korvic::utc_time t, const korvic::Settings &s) {
    try {
        korvic::check_board_time(t, s);
    } catch (const std::out_of_range &e) {
        throw UsageError("korvic: " + what + ": " + without("korvic: time: ", e.what()));
    }
}

korvic::cli::Limits limits(const CommandLine &cl, const CLI::App &sub,
                           std::uint64_t default_count) {
    korvic::cli::Limits l;
    l.count = sub.count("--count") != 0 ? cl.count : default_count;
    if (sub.count("--timeout") != 0) {
        l.timeout = duration_option("--timeout", cl.timeout);
        l.timeout_text = shown(cl.timeout);
    }
    return l;
}

// The job the parsed subcommand names; throws UsageError for an argument that is wrong.
Job make_job(const CLI::App &app, const CommandLine &cl) {
    namespace c = korvic::cli;
    Job job;
    const CLI::App *sub = app.get_subcommands().front();
    const std::string name = sub->get_name();
    if (app.count("--lock-wait") != 0) {
        job.lock_wait = duration_option("--lock-wait", cl.lock_wait);
        if (*job.lock_wait > std::chrono::seconds{10})
            throw UsageError("korvic: --lock-wait: duration " + quote(cl.lock_wait) +
                             ": more than 10s");
    }
    if (name == "time") {
        job.run = c::show_time;
    } else if (name == "offset") {
        const auto interval = duration_option("--interval", cl.interval);
        // The wait for the next reading is a deadline on the monotonic clock: a day keeps it
        // far inside 64 bits of nanoseconds, whatever the uptime.
        if (interval > std::chrono::hours{24})
            throw UsageError("korvic: --interval: duration " + quote(cl.interval) +
                             ": more than 24h between readings");
        const std::uint64_t count = sub->count("--count") != 0 ? cl.count : 1;
        job.run = [count, interval](korvic::Board &b, const c::Output &o) {
            return c::show_offset(b, o, count, interval);
        };
    } else if (name == "status") {
        job.run = c::show_status;
    } else if (name == "regs") {
        job.run = c::show_registers;
    } else if (name == "preset" && cl.time == "now") {
        job.check = korvic::check_preset_now;
        job.run = c::preset_now;
    } else if (name == "preset") {
        const korvic::utc_time t = time_argument("preset", cl.time);
        job.check = [t](const korvic::Settings &s) { check_time("preset", t, s); };
        job.run = [t](korvic::Board &b, const c::Output &o) { return c::preset(b, o, t); };
    } else if (name == "compare" && cl.time == "off") {
        if (sub->count("--every") != 0)
            throw UsageError("korvic: compare off: --every " + quote(cl.every) +
                             " does not go with off");
        job.run = [](korvic::Board &b, const c::Output &o) {
            return c::set_compare(b, o, std::nullopt, korvic::CompareMask::off);
        };
    } else if (name == "compare") {
        const korvic::utc_time t = time_argument("compare", cl.time);
        if (sub->count("--every") == 0)
            throw UsageError("korvic: compare " + shown(cl.time) +
                             ": --every year|day|hour|minute|second|millisecond is required");
        const std::optional<korvic::CompareMask> mask = korvic::parse_compare_every(cl.every);
        if (!mask)
            throw UsageError("korvic: compare: --every " + quote(cl.every) +
                             ": not one of year, day, hour, minute, second, millisecond, off");
        job.check = [t](const korvic::Settings &s) { check_time("compare", t, s); };
        job.run = [t, mask](korvic::Board &b, const c::Output &o) {
            return c::set_compare(b, o, t, *mask);
        };
    } else if (name == "wait-compare") {
        const c::Limits l = limits(cl, *sub, 1);
        job.run = [l](korvic::Board &b, const c::Output &o) { return c::wait_compare(b, o, l); };
    } else if (name == "events") {
        const c::Limits l = limits(cl, *sub, 0);
        job.run = [l](korvic::Board &b, const c::Output &o) { return c::watch_events(b, o, l); };
    } else {  // timer
        const bool start = cl.timer == "start";
        job.run = [start](korvic::Board &b, const c::Output &o) {
            return c::set_timer(b, o, start);
        };
    }
    return job;
}

std::string version() {
    return std::to_string(KORVIC_API_VERSION_MAJOR) + "." +
           std::to_string(KORVIC_API_VERSION_MINOR) + "." +
           std::to_string(KORVIC_API_VERSION_PATCH);
}

// --count: a whole number that fits 64 bits, digits only (CLI11 would take "-1", or one too
// large, for the largest number).
CLI::Validator count_check() {
    const auto check = [](const std::string &text) {
        std::uint64_t n = 0;
        const char *end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, n);
        if (text.empty() || stop != end || error == std::errc::invalid_argument)
            return quote(text) + ": not a whole number 0 or more";
        if (error == std::errc::result_out_of_range)
            return quote(text) + ": too large";
        return std::string();
    };
    return {check, ""};
}

// One of `words`, as typed (CLI11's IsMember would echo a refused value raw).
CLI::Validator one_of(const std::vector<std::string> &words) {
    const auto check = [words](const std::string &text) {
        if (std::find(words.begin(), words.end(), text) != words.end())
            return std::string();
        std::string list;
        for (const std::string &w : words)
            list += (list.empty() ? "" : " or ") + w;
        return quote(text) + ": not " + list;
    };
    return {check, ""};
}

void add_limits(CLI::App *sub, CommandLine &cl, const char *what) {
    sub->add_option("--count", cl.count, std::string("stop after N ") + what)
        ->check(count_check())
        ->type_name("N");
    sub->add_option("--timeout", cl.timeout,
                    "stop after DURATION (10s, 1.5min, ...); with --count not reached, exit "
                    "status 1")
        ->type_name("DURATION");
}

// One line for what the option parser refused, in our words (command_line.h).
std::string usage_message(const CLI::App &app, const CLI::ParseError &e,
                          const std::vector<std::string> &args) {
    return "korvic: " + korvic::program::command_line_problem(app, e, args) +
           " (see korvic --help)";
}

// The text of a failure: a filesystem_error's without the "filesystem error: " that the C++
// library puts in front: "korvic: read configuration: No such file or directory
// [korvic_cfg.dat]".
std::string failure_message(const std::exception &e) {
    const std::string what = korvic::detail::message_of(e);
    return what.rfind("korvic: ", 0) == 0 ? what : "korvic: " + what;
}

}  // namespace

namespace {

int run(int argc, char **argv) {
    CommandLine cl;
    CLI::App app("One command per job on a korvic time-code and timing board.", "korvic");
    app.set_help_flag("-h,--help", "this help, then exit");
    // Our own flag, so that --json is seen wherever it stands: with it, a JSON line.
    bool show_version = false;
    app.add_flag("--version", show_version, "the version, then exit (a JSON line with --json)")
        ->disable_flag_override();
    app.require_subcommand(0, 1);
    // The global options are taken after the subcommand too.
    app.fallthrough();
    app.add_option("--config", cl.config,
                   "configuration file (default $KORVIC_CONFIG, else ./korvic_cfg.dat)")
        ->type_name("PATH");
    app.add_flag("--json", cl.json, "one JSON object per line on standard output")
        ->disable_flag_override();
    app.add_option("--format", cl.format,
                   "times as iso (2026-03-28T12:34:56.789123Z, the "
                   "default) or unix (1774701296.789123)")
        ->check(one_of({"iso", "unix"}))
        ->type_name("iso|unix");
    app.add_option("--lock-wait", cl.lock_wait,
                   "how long a call waits for the board lock that other programs may hold "
                   "(default 100ms, at most 10s)")
        ->type_name("DURATION");

    app.add_subcommand("time", "the board's current time (true UTC)");
    CLI::App *offset = app.add_subcommand("offset",
                                          "board minus system clock, with the bracket "
                                          "of each reading");
    offset->add_option("--count", cl.count, "readings (0: until stopped; default 1)")
        ->check(count_check())
        ->type_name("N");
    offset->add_option("--interval", cl.interval, "between readings (default 1s)")
        ->type_name("DURATION");
    app.add_subcommand("status",
                       "every named bit of the status, configuration and hardware "
                       "control registers, decoded");
    app.add_subcommand("regs", "every register of the window: name, offset, words, decoded");
    CLI::App *preset = app.add_subcommand("preset",
                                          "set the board's time: TIME, or now (the "
                                          "system clock at the next whole second)");
    preset->add_option("TIME", cl.time, "ISO 8601 time in UTC, @SECONDS, or now")
        ->required()
        ->type_name("");
    CLI::App *compare = app.add_subcommand("compare", "time compare: TIME --every UNIT, or off");
    compare->add_option("TIME", cl.time, "ISO 8601 time in UTC, @SECONDS, or off")
        ->required()
        ->type_name("");
    compare
        ->add_option("--every", cl.every,
                     "how often: year, day, hour, minute, second, "
                     "millisecond")
        ->type_name("UNIT");
    add_limits(app.add_subcommand("wait-compare",
                                  "wait for time-compare events: print each "
                                  "one's board time and clear the flag"),
               cl, "events (0: no limit; default 1)");
    add_limits(app.add_subcommand("events", "print the time of each new external event"), cl,
               "events (default 0: no limit)");
    CLI::App *timer = app.add_subcommand("timer", "start or stop the board's timer");
    timer->add_option("ACTION", cl.timer, "start or stop")
        ->required()
        ->check(one_of({"start", "stop"}))
        ->type_name("start|stop");

    Job job;
    try {
        app.parse(argc, argv);
        if (show_version) {
            const std::string text =
                cl.json
                    ? korvic::cli::Json().add("program", "korvic").add("version", version()).str()
                    : "korvic " + version();
            return korvic::program::write_standard_output("korvic", text + "\n") ? 0 : 1;
        }
        if (app.get_subcommands().empty())
            throw CLI::RequiredError::Subcommand(1);
        if (app.count("--config") != 0 && cl.config.empty())
            throw UsageError("korvic: --config \"\": an empty path");
        job = make_job(app, cl);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            // --help: standard output, status 0, or 1 when it cannot be written.
            std::ostringstream text;
            app.exit(e, text);
            return korvic::program::write_standard_output("korvic", text.str()) ? 0 : 1;
        }
        std::fprintf(
            stderr, "%s\n",
            usage_message(app, e, std::vector<std::string>(argv + 1, argv + argc)).c_str());
        return 2;
    } catch (const UsageError &e) {
        std::fprintf(stderr, "%s\n", korvic::detail::printable(e.what()).c_str());
        return 2;
    }

    const korvic::cli::Output out(cl.json, cl.format == "unix"
                                               ? korvic::cli::TimeFormat::unix_seconds
                                               : korvic::cli::TimeFormat::iso);
    int status = 0;
    try {
        korvic::Settings settings = korvic::read_settings(korvic::config_path(cl.config));
        if (job.lock_wait)
            settings.lock_wait = *job.lock_wait;
        job.check(settings);
        korvic::Board board(settings);
        status = job.run(board, out);
    } catch (const UsageError &e) {
        std::fprintf(stderr, "%s\n", korvic::detail::printable(e.what()).c_str());
        return 2;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", failure_message(e).c_str());
        return 1;
    }
    korvic::cli::StopSignals::end_by_signal();
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    // Every command writes to standard output: a closed one fails before the board is
    // attached. Closed standard input or error get /dev/null, so that no descriptor opened
    // later (the board's window) takes their number and an error line lands in it.
    if (!korvic::program::standard_descriptors_ready("korvic"))
        return 1;
    int status = 1;
    try {
        status = run(argc, argv);
    } catch (const std::exception &e) {  // out of memory, say
        std::fprintf(stderr, "%s\n", failure_message(e).c_str());
        return 1;
    }
    // No output may be lost unseen: a last flush, and a check of every earlier write.
    if (status == 0 && !korvic::program::flush_standard_output("korvic"))
        return 1;
    return status;
}
