// korvic's JSON and text records: the JSON forms that scripts parse (escapes, nesting, a
// time's two forms) and the whole second that `preset now` aims for.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"

namespace {

using korvic::cli::Json;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

TEST(CliJson, EscapesAndNesting) {
    EXPECT_EQ(korvic::cli::json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    const Json inner = Json().add("n", std::int64_t{-5}).add("ok", false);
    const Json j = Json()
                       .add("name", "time compare")
                       .add("words", std::vector<std::uint32_t>{0, 4294967295u})
                       .add("inner", inner)
                       .add("list", std::vector<Json>{inner, Json()})
                       .add("empty", std::vector<Json>{});
    EXPECT_EQ(j.str(),
              "{\"name\":\"time compare\",\"words\":[0,4294967295],"
              "\"inner\":{\"n\":-5,\"ok\":false},\"list\":[{\"n\":-5,\"ok\":false},{}],"
              "\"empty\":[]}");
}

TEST(CliJson, TimeInBothForms) {
    const struct {
        const char *time;
        const char *json;
    } cases[] = {
        {"2026-03-28T12:34:56.789123Z",
         "{\"t\":\"2026-03-28T12:34:56.789123Z\",\"t_unix\":1774701296.789123}"},
        {"2026-03-28T12:34:56Z",
         "{\"t\":\"2026-03-28T12:34:56.000000Z\",\"t_unix\":1774701296.000000}"},
        {"1969-12-31T23:59:59.5Z", "{\"t\":\"1969-12-31T23:59:59.500000Z\",\"t_unix\":-0.500000}"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Json().add_time("t", korvic::parse_time(c.time)).str(), c.json);
    EXPECT_EQ(korvic::cli::signed_count(0), "+0");
    EXPECT_EQ(korvic::cli::signed_count(-17), "-17");
}

// The next whole second that leaves 20 ms and the preset's cost to get ready.
TEST(CliPresetNow, AimsForTheNextWholeSecondWithTimeToSpare) {
    const auto at = [](const char *t) { return korvic::system_time{korvic::parse_time(t)}; };
    const struct {
        const char *now;
        nanoseconds cost;
        const char *target;
    } cases[] = {
        {"2026-03-28T12:00:00.000001Z", nanoseconds{6'000}, "2026-03-28T12:00:01Z"},
        {"2026-03-28T12:00:00.979000Z", nanoseconds{6'000}, "2026-03-28T12:00:01Z"},
        {"2026-03-28T12:00:00.980000Z", nanoseconds{0}, "2026-03-28T12:00:01Z"},
        {"2026-03-28T12:00:00.979995Z", nanoseconds{6'000}, "2026-03-28T12:00:02Z"},
        {"2026-03-28T12:00:00.990000Z", nanoseconds{0}, "2026-03-28T12:00:02Z"},
        {"2026-12-31T23:59:59.5Z", milliseconds{600}, "2027-01-01T00:00:01Z"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(korvic::cli::next_whole_second(at(c.now), c.cost), korvic::parse_time(c.target))
            << c.now;
}

}  // namespace
