// What korvic writes: one line per record on standard output, as text or as one JSON object,
// each line flushed as soon as it is whole (a test rig waits for it); errors on standard
// error in one line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "korvic/board.hpp"

namespace korvic::cli {

// A bad command line: exit status 2, nothing done.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The board or the system failed: exit status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class TimeFormat : std::uint8_t { iso, unix_seconds };

// One JSON object, keys in the order they are added. Values are strings, integers,
// booleans, numbers given as text (a time's Unix seconds keep their six digits), nested
// objects and arrays of objects or integers.
class Json {
  public:
    Json &add(std::string_view key, std::string_view text);
    Json &add(std::string_view key, const char *text) { return add(key, std::string_view(text)); }
    Json &add(std::string_view key, std::int64_t n);
    Json &add(std::string_view key, std::uint32_t n) { return add(key, std::int64_t{n}); }
    Json &add(std::string_view key, bool b);
    Json &add(std::string_view key, const Json &object);
    Json &add(std::string_view key, const std::vector<Json> &objects);
    Json &add(std::string_view key, const std::vector<std::uint32_t> &numbers);
    // A number given as its exact decimal text ("+250", "-63950000000000000123"): no
    // 64-bit integer holds every offset a board can have. A leading '+' is dropped.
    Json &add_number(std::string_view key, std::string_view digits);
    // The time as ISO 8601 under `key` and as Unix seconds under `key`_unix.
    Json &add_time(std::string_view key, utc_time t);
    std::string str() const { return "{" + body_ + "}"; }

  private:
    Json &raw(std::string_view key, std::string_view value);
    std::string body_;
};

// JSON string literal of `text`, quotes included.
std::string json_string(std::string_view text);

class Output {
  public:
    Output(bool json, TimeFormat format) : json_(json), format_(format) {}
    bool json() const { return json_; }
    // A time in the text form chosen by --format.
    std::string time(utc_time t) const;
    // One record: `text` without --json, `object` with it. Throws Failure when standard
    // output cannot be written.
    void record(const std::string &text, const Json &object) const;

  private:
    void line(const std::string &text) const;
    bool json_;
    TimeFormat format_;
};

// "+1234" / "-56": a signed count, always with its sign.
std::string signed_count(std::int64_t n);

}  // namespace korvic::cli
