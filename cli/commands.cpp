// The subcommands on an attached board.
#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "stop.h"

namespace korvic::cli {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

utc_time to_utc(system_time t) {
    return std::chrono::floor<microseconds>(t);
}

std::string hex(std::uint32_t word) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", word);
    return text;
}

// "bit 27" or "bits 19-16".
std::string bits(const FieldView &f) {
    if (f.width == 1)
        return "bit " + std::to_string(f.low);
    return "bits " + std::to_string(f.low + f.width - 1) + "-" + std::to_string(f.low);
}

std::uint32_t field_value(std::uint32_t word, const FieldView &f) {
    return (word >> f.low) & ((std::uint32_t{1} << f.width) - 1);
}

// A bit register's word and every field of it: the text lines and the JSON object.
struct BitRegisterRecord {
    std::vector<std::string> lines;
    Json object;
};

BitRegisterRecord bit_register_record(const BitRegisterView &r, std::uint32_t word) {
    BitRegisterRecord rec;
    char head[64];
    std::snprintf(head, sizeof head, "%-17s %s", std::string(r.name).c_str(), hex(word).c_str());
    rec.lines.emplace_back(head);
    std::vector<Json> fields;
    for (const FieldView &f : r.fields) {
        const std::uint32_t v = field_value(word, f);
        char line[96];
        std::snprintf(line, sizeof line, "  selector %-2u %-10s %2u%s%s", f.selector,
                      bits(f).c_str(), v, f.name.empty() ? "" : "  ", std::string(f.name).c_str());
        rec.lines.emplace_back(line);
        fields.push_back(Json()
                             .add("selector", std::int64_t{f.selector})
                             .add("low", std::int64_t{f.low})
                             .add("width", std::int64_t{f.width})
                             .add("value", v)
                             .add("name", f.name));
    }
    rec.object.add("name", r.name).add("offset", r.offset).add("value", word).add("fields", fields);
    return rec;
}

const FieldView *named_field(const BitRegisterView &r, std::string_view name) {
    const auto f = std::find_if(r.fields.begin(), r.fields.end(),
                                [name](const FieldView &v) { return v.name == name; });
    return f != r.fields.end() ? &*f : nullptr;
}

const BitRegisterView *bit_register(std::string_view name) {
    const auto all = bit_registers();
    const auto r = std::find_if(all.begin(), all.end(),
                                [name](const BitRegisterView &v) { return v.name == name; });
    return r != all.end() ? &*r : nullptr;
}

// The instant a waiting command gives up: `timeout` from now, or never.
steady_clock::time_point deadline_after(const std::optional<nanoseconds> &timeout) {
    const auto now = steady_clock::now();
    if (!timeout || *timeout >= steady_clock::time_point::max() - now)
        return steady_clock::time_point::max();
    return now + duration_cast<steady_clock::duration>(*timeout);
}

// The status of a waiting command that ended without a stop signal: 1 with a message when
// its count was not reached before the timeout.
int end_of_wait(const char *command, const char *what, const Limits &limits, std::uint64_t seen) {
    if (StopSignals::caught() != 0 || limits.count == 0 || seen >= limits.count)
        return 0;
    std::fprintf(stderr, "korvic: %s: --timeout %s reached after %llu of %llu %s\n", command,
                 limits.timeout_text.c_str(), static_cast<unsigned long long>(seen),
                 static_cast<unsigned long long>(limits.count), what);
    return 1;
}

std::string numbered(std::uint64_t n, const std::string &time) {
    return std::to_string(n) + " " + time;
}

// Each line of `offset`: the narrowest of this many readings.
constexpr int kOffsetReadings = 5;

}  // namespace

int show_time(Board &board, const Output &out) {
    const utc_time t = board.now();
    out.record(out.time(t), Json().add_time("time", t));
    return 0;
}

int show_offset(Board &board, const Output &out, std::uint64_t count, nanoseconds interval) {
    const StopSignals stops;
    for (std::uint64_t n = 0; count == 0 || n < count; ++n) {
        if (n > 0)
            StopSignals::sleep_for(interval);
        if (StopSignals::caught() != 0)
            break;
        const BestReading r = board.best_of(kOffsetReadings);
        if (!r.best)
            throw Failure("korvic: offset: the system clock stepped back inside each of " +
                          std::to_string(kOffsetReadings) + " readings");
        const Sample &s = r.best->sample;
        const utc_time system = to_utc(s.midpoint());
        const std::string offset = s.offset().nanoseconds_text();
        const std::int64_t bracket = s.uncertainty().count();
        out.record("board " + out.time(s.board) + " system " + out.time(system) + " offset " +
                       offset + " ns bracket " + std::to_string(bracket) + " ns",
                   Json()
                       .add_time("board", s.board)
                       .add_time("system", system)
                       .add_number("offset_ns", offset)
                       .add("bracket_ns", bracket));
    }
    return 0;
}

int show_status(Board &board, const Output &out) {
    // Status first, then configuration, then hardware control (bit_registers() lists them
    // the other way round).
    std::vector<std::pair<const BitRegisterView *, std::uint32_t>> words;
    const auto all = bit_registers();
    for (std::size_t i = all.size(); i-- > 0;)
        words.emplace_back(&all[i], board.read_register(all[i].offset));
    bool running = false, compare_event = false;
    for (const auto &[r, word] : words) {
        if (const FieldView *f = named_field(*r, "timer stop"))
            running = field_value(word, *f) == 0;
        if (const FieldView *f = named_field(*r, "compare event"))
            compare_event = field_value(word, *f) == 1;
    }
    std::string text = std::string("timer ") + (running ? "running" : "stopped") +
                       "\ncompare event flag " + (compare_event ? "raised" : "clear");
    std::vector<Json> registers;
    for (const auto &[r, word] : words) {
        BitRegisterRecord rec = bit_register_record(*r, word);
        for (const std::string &line : rec.lines)
            text += "\n" + line;
        registers.push_back(rec.object);
    }
    out.record(text, Json()
                         .add("timer_running", running)
                         .add("compare_event", compare_event)
                         .add("registers", registers));
    return 0;
}

int show_registers(Board &board, const Output &out) {
    for (const RegisterView &r : register_map()) {
        std::vector<std::uint32_t> words;
        for (std::uint32_t k = 0; k < r.words; ++k)
            words.push_back(board.read_register(r.offset + 4 * k));
        char head[48];
        std::snprintf(head, sizeof head, "0x%03x  %-17s", r.offset, std::string(r.name).c_str());
        std::string text = head;
        for (const std::uint32_t w : words)
            text += " " + hex(w);
        Json object;
        object.add("offset", r.offset).add("name", r.name).add("words", words);

        // What the board defines of the register's contents.
        std::string decoded;
        const auto time = [&](const char *key, utc_time t) {
            decoded = std::string(key) + " " + out.time(t);
            object.add_time("time", t);
        };
        if (const BitRegisterView *b = bit_register(r.name); b != nullptr && r.words == 1) {
            Json named;
            for (const FieldView &f : b->fields) {
                if (f.name.empty())
                    continue;
                const std::uint32_t v = field_value(words[0], f);
                decoded +=
                    (decoded.empty() ? "" : ", ") + std::string(f.name) + " " + std::to_string(v);
                named.add(f.name, v);
            }
            object.add("fields", named);
        } else if (r.name == "time and status") {
            time("latched", board.latched_time());
        } else if (r.name == "preset time") {
            time("preset", board.preset_time());
        } else if (r.name == "external event") {
            time("captured", board.event_time());
        } else if (r.name == "time compare") {
            const CompareSetting c = board.compare();
            const auto tod = std::chrono::hh_mm_ss<microseconds>(c.time_of_day);
            char digits[64];
            std::snprintf(digits, sizeof digits, "day %03d (from 0) %02d:%02d:%02d.%06lld",
                          c.day_of_year, static_cast<int>(tod.hours().count()),
                          static_cast<int>(tod.minutes().count()),
                          static_cast<int>(tod.seconds().count()),
                          static_cast<long long>(tod.subseconds().count()));
            const std::string_view every = to_string(static_cast<CompareMask>(c.mask));
            decoded = std::string(digits) + ", mask " + std::to_string(c.mask) + " (" +
                      std::string(every) + ")";
            object.add("day_of_year", std::int64_t{c.day_of_year})
                .add("time_of_day_us", static_cast<std::int64_t>(c.time_of_day.count()))
                .add("mask", std::int64_t{c.mask})
                .add("every", every);
        }
        if (!decoded.empty())
            text += "  " + decoded;
        out.record(text, object);
    }
    return 0;
}

int preset(Board &board, const Output &out, utc_time t) {
    board.preset(t);
    const utc_time loaded = std::chrono::floor<milliseconds>(t);
    out.record("preset " + out.time(loaded), Json().add_time("preset", loaded));
    return 0;
}

int preset_now(Board &board, const Output &out) {
    PresetNow p;
    try {
        p = board.preset_now();
    } catch (const BoardNotRunning &e) {
        if (!e.timer_stopped())
            throw;
        throw Failure(
            "korvic: preset now: the board does not run: its timer is stopped (korvic timer "
            "start runs it); nothing was preset");
    }
    const std::string residual = p.residual().nanoseconds_text();
    const std::int64_t bracket = p.bracket().count();
    out.record("preset " + out.time(p.preset) + " residual " + residual + " ns bracket " +
                   std::to_string(bracket) + " ns write cost " +
                   std::to_string(p.write_cost.count()) + " ns",
               Json()
                   .add_time("preset", p.preset)
                   .add_number("residual_ns", residual)
                   .add("bracket_ns", bracket)
                   .add("write_cost_ns", static_cast<std::int64_t>(p.write_cost.count())));
    if (abs(p.residual()) <= Offset{kPresetNowResidual})
        return 0;
    std::fprintf(stderr,
                 "korvic: preset now: the board is %s ns from the system clock after %d "
                 "attempts (the system is too busy to preset within %lld us)\n",
                 residual.c_str(), p.attempts, static_cast<long long>(kPresetNowResidual.count()));
    return 1;
}

int set_compare(Board &board, const Output &out, std::optional<utc_time> t, CompareMask mask) {
    // Off first, then the flag cleared, then the new compare: a flag raised by the old
    // setting is not taken for an event of the new one.
    board.set_compare_off();
    board.clear_compare_flag();
    if (!t || mask == CompareMask::off) {
        out.record("compare off", Json().add("every", "off"));
        return 0;
    }
    board.set_compare(*t, mask);
    const std::string_view every = to_string(mask);
    out.record("compare " + out.time(*t) + " every " + std::string(every),
               Json().add_time("compare", *t).add("every", every));
    return 0;
}

int wait_compare(Board &board, const Output &out, const Limits &limits) {
    const StopSignals stops;
    const auto deadline = deadline_after(limits.timeout);
    std::uint64_t n = 0;
    while (limits.count == 0 || n < limits.count) {
        // The flag is this command's own source: read the time, then clear it (the next
        // wait re-arms the interrupt only once it is clear).
        if (!board.wait_compare_flag(deadline, [] { return StopSignals::caught() != 0; }))
            break;
        const utc_time t = board.now();
        board.clear_compare_flag();
        ++n;
        out.record(numbered(n, out.time(t)),
                   Json().add("n", static_cast<std::int64_t>(n)).add_time("time", t));
    }
    return end_of_wait("wait-compare", "compare events", limits, n);
}

int watch_events(Board &board, const Output &out, const Limits &limits) {
    const StopSignals stops;
    const auto deadline = deadline_after(limits.timeout);
    EventWatcher watcher(board);
    std::uint64_t n = 0;
    while (limits.count == 0 || n < limits.count) {
        const std::optional<utc_time> t =
            watcher.wait_until(deadline, [] { return StopSignals::caught() != 0; });
        if (!t)
            break;
        ++n;
        out.record(numbered(n, out.time(*t)),
                   Json().add("n", static_cast<std::int64_t>(n)).add_time("time", *t));
    }
    return end_of_wait("events", "events", limits, n);
}

int set_timer(Board &board, const Output &out, bool run) {
    if (run)
        board.start_timer();
    else
        board.stop_timer();
    const bool running = board.timer_running();
    out.record(std::string("timer ") + (running ? "running" : "stopped"),
               Json().add("timer_running", running));
    return 0;
}

}  // namespace korvic::cli
