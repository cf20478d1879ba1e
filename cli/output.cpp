// The text and JSON forms of korvic's records.
#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvic::cli {

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

Json &Json::raw(std::string_view key, std::string_view value) {
    if (!body_.empty())
        body_ += ',';
    body_ += json_string(key);
    body_ += ':';
    body_ += value;
    return *this;
}

Json &Json::add(std::string_view key, std::string_view text) {
    return raw(key, json_string(text));
}

Json &Json::add(std::string_view key, std::int64_t n) {
    return raw(key, std::to_string(n));
}

Json &Json::add(std::string_view key, bool b) {
    return raw(key, b ? "true" : "false");
}

Json &Json::add(std::string_view key, const Json &object) {
    return raw(key, object.str());
}

Json &Json::add(std::string_view key, const std::vector<Json> &objects) {
    std::string list = "[";
    for (const Json &o : objects)
        list += (list.size() > 1 ? "," : "") + o.str();
    return raw(key, list + "]");
}

Json &Json::add(std::string_view key, const std::vector<std::uint32_t> &numbers) {
    std::string list = "[";
    for (const std::uint32_t n : numbers)
        list += (list.size() > 1 ? "," : "") + std::to_string(n);
    return raw(key, list + "]");
}

Json &Json::add_number(std::string_view key, std::string_view digits) {
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    return raw(key, digits);
}

Json &Json::add_time(std::string_view key, utc_time t) {
    add(key, format_time(t));
    return raw(std::string(key) + "_unix", format_unix_time(t));
}

std::string Output::time(utc_time t) const {
    return format_ == TimeFormat::iso ? format_time(t) : format_unix_time(t);
}

void Output::record(const std::string &text, const Json &object) const {
    line(json_ ? object.str() : text);
}

void Output::line(const std::string &text) const {
    errno = 0;
    if (std::fputs(text.c_str(), stdout) == EOF || std::fputc('\n', stdout) == EOF ||
        std::fflush(stdout) == EOF)
        throw Failure(std::string("korvic: standard output: ") +
                      (errno != 0 ? std::strerror(errno) : "write failed"));
}

std::string signed_count(std::int64_t n) {
    return (n < 0 ? "" : "+") + std::to_string(n);
}

}  // namespace korvic::cli
