#include "metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>

namespace korvicd {

std::uint64_t Totals::dropped_count() const {
    return std::accumulate(dropped.begin(), dropped.end(), std::uint64_t{0});
}

bool Totals::board_answered() const {
    return fed + dropped_count() > dropped[static_cast<std::size_t>(Drop::board_busy)];
}

void Tally::kept(const korvic::Offset &offset, nanoseconds bracket) {
    interval_.kept(offset, bracket);
    ++totals_.fed;
    totals_.last_offset = offset;
    totals_.last_bracket = bracket;
}

void Tally::refused(int readings) {
    interval_.refused(readings);
    totals_.readings_refused += static_cast<std::uint64_t>(readings);
}

void Tally::dropped(Drop why) {
    interval_.dropped(why);
    ++totals_.dropped.at(static_cast<std::size_t>(why));
}

std::string health_name(Health h) {
    std::string name(to_string(h));
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

std::string board_name(std::string_view config) {
    const std::size_t slash = config.rfind('/');
    std::string_view name = slash == std::string_view::npos ? config : config.substr(slash + 1);
    if (name.size() > 4 && name.ends_with(".dat"))
        name.remove_suffix(4);
    return std::string(name);
}

std::string status_text(const Snapshot &s) {
    std::string t(to_string(s.health));
    if (s.health == Health::status && s.unmet)
        t += ": " + describe_unmet(*s.unmet);
    if (s.totals.last_offset)
        t += "; offset " + format_duration(*s.totals.last_offset, true) + ", bracket " +
             format_duration(*s.totals.last_bracket);
    else
        t += "; nothing fed yet";
    t += "; fed " + std::to_string(s.totals.fed) + ", dropped " +
         std::to_string(s.totals.dropped_count());
    std::string reasons;
    for (std::size_t i = 0; i < kDropReasons; ++i) {
        if (s.totals.dropped[i] == 0)
            continue;
        std::string name(drop_name(static_cast<Drop>(i)));
        std::replace(name.begin(), name.end(), '_', ' ');
        reasons += (reasons.empty() ? "" : ", ") + name + " " + std::to_string(s.totals.dropped[i]);
    }
    if (!reasons.empty())
        t += " (" + reasons + ")";
    if (s.leap != 0)
        t += std::string("; leap second ") + (s.leap == 1 ? "inserted" : "deleted") +
             " at the end of the day";
    for (const OutputState &o : s.outputs)
        if (!o.up)
            t += "; " + o.kind + " " + o.target + " unreachable";
    return t;
}

// ---------------------------------------------------------------------------------------
// The text exposition.
// ---------------------------------------------------------------------------------------

std::string escape_label_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string sample_value(double v) {
    if (std::isnan(v))
        return "NaN";
    if (std::isinf(v))
        return v > 0 ? "+Inf" : "-Inf";
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc{} ? std::string(buf, end) : "NaN";
}

void Exposition::gauge(std::string_view name, std::string_view help, double value,
                       const Labels &labels) {
    add("gauge", name, help, labels, sample_value(value));
}

void Exposition::counter(std::string_view name, std::string_view help, std::uint64_t value,
                         const Labels &labels) {
    add("counter", name, help, labels, std::to_string(value));
}

void Exposition::add(std::string_view type, std::string_view name, std::string_view help,
                     const Labels &labels, const std::string &value) {
    auto family = std::find_if(families_.begin(), families_.end(),
                               [&](const Family &f) { return f.name == name; });
    if (family == families_.end()) {
        families_.push_back({std::string(name), std::string(type), std::string(help), {}});
        family = families_.end() - 1;
    }
    std::string &line = family->samples;
    line += name;
    char sep = '{';
    for (const Labels *set : std::array<const Labels *, 2>{&common_, &labels}) {
        for (const auto &[label, label_value] : *set) {
            line += sep;
            line += label;
            line += "=\"" + escape_label_value(label_value) + "\"";
            sep = ',';
        }
    }
    if (sep == ',')
        line += '}';
    line += ' ' + value + '\n';
}

std::string Exposition::text() const {
    std::string out;
    for (const Family &f : families_)
        out += "# HELP " + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n" +
               f.samples;
    return out;
}

std::string metrics_text(const Snapshot &s, std::string_view version) {
    const auto seconds = [](nanoseconds d) { return static_cast<double>(d.count()) / 1e9; };
    Exposition m({{"board", s.board}});
    m.gauge("korvicd_build_info", "korvicd's version; always 1", 1,
            {{"version", std::string(version)}});
    for (int i = 0; i <= static_cast<int>(kLastHealth); ++i) {
        const auto h = static_cast<Health>(i);
        m.gauge("korvicd_health_state", "The board's health state: 1 for the current one",
                h == s.health ? 1 : 0, {{"state", health_name(h)}});
    }
    if (s.totals.last_offset) {
        m.gauge("korvicd_offset_seconds",
                "Board time less system time of the last fed sample, --offset included",
                s.totals.last_offset->to_seconds());
        m.gauge("korvicd_bracket_seconds", "Bracket of the last fed sample",
                seconds(*s.totals.last_bracket));
    }
    m.counter("korvicd_samples_fed_total", "Samples given to an output since start", s.totals.fed);
    for (std::size_t i = 0; i < kDropReasons; ++i)
        m.counter("korvicd_samples_dropped_total", "Samples dropped since start, by reason",
                  s.totals.dropped[i], {{"reason", std::string(drop_name(static_cast<Drop>(i)))}});
    m.counter("korvicd_readings_refused_total",
              "Readings left out since start because the system clock stepped back inside them",
              s.totals.readings_refused);
    for (const StatusRequirement &r : s.required) {
        const std::string bit = std::to_string(r.bit);
        m.gauge("korvicd_status_bit_required",
                "The value --require-status requires of a hardware status bit", r.value ? 1 : 0,
                {{"bit", bit}});
    }
    if (s.status_word) {
        for (const StatusRequirement &r : s.required)
            m.gauge("korvicd_status_bit_read",
                    "The value of a required hardware status bit in the last reading",
                    (*s.status_word >> r.bit & 1u) != 0 ? 1 : 0, {{"bit", std::to_string(r.bit)}});
    }
    m.gauge("korvicd_leap_second_pending",
            "The leap second at the end of this UTC day: 1 inserted, -1 deleted, 0 none",
            s.leap == 1   ? 1
            : s.leap == 2 ? -1
                          : 0);
    for (const OutputState &o : s.outputs)
        m.gauge("korvicd_output_up", "Whether samples reach the output: 1 yes, 0 no", o.up ? 1 : 0,
                {{"output", o.kind}, {"target", o.target}});
    return m.text();
}

}  // namespace korvicd
