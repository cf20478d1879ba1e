// The console's keyboard reader: "%d"/"%lld" conversions, whole lines and the discard of
// the rest of a line, on scripted input.
#include "input.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

using korvic::console::Input;
using korvic::console::Read;

struct Op {
    enum Kind { Int, LongLong, Line, Discard } kind;
    Read read = Read::value;  // Int, LongLong
    std::int64_t value = 0;   // Int, LongLong when read == Read::value
    bool line = true;         // Line
};

Op num(std::int64_t v) {
    return {Op::Int, Read::value, v};
}
Op num_fails(Read r) {
    return {Op::Int, r};
}
Op wide(std::int64_t v) {
    return {Op::LongLong, Read::value, v};
}
Op wide_fails(Read r) {
    return {Op::LongLong, r};
}
Op line(bool got = true) {
    return {Op::Line, Read::value, 0, got};
}
Op discard() {
    return {Op::Discard};
}

struct Case {
    const char *name;
    std::string input;
    std::vector<Op> ops;
};

// Test names and failure messages show the case's name, not its bytes.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

constexpr Read kNaN = Read::not_a_number;
constexpr Read kEnd = Read::end_of_input;
constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kWideMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kWideMax = std::numeric_limits<std::int64_t>::max();

const Case kCases[] = {
    {"blank lines are skipped", " \n\n\t 42\n", {num(42), discard(), num_fails(kEnd)}},
    {"largest int", "2147483647\n", {num(kIntMax)}},
    {"above the largest int", "2147483648\n7\n", {num_fails(kNaN), num(7)}},
    {"smallest int", "-2147483648\n", {num(kIntMin)}},
    {"below the smallest int", "-2147483649\n", {num_fails(kNaN)}},
    {"plus sign", "+7\n", {num(7)}},
    {"an overlong number is one refused value",
     "999999999999999999999999 5\n",
     {num_fails(kNaN), num(5)}},
    {"a word stays unread until discarded",
     "abc\n7\n",
     {num_fails(kNaN), num_fails(kNaN), discard(), num(7)}},
    {"letters after digits are the rest of the line", "12abc\n7\n", {num(12), discard(), num(7)}},
    {"two numbers on one line", "1 2\n3\n", {num(1), num(2), discard(), num(3)}},
    {"numbers on separate lines", "1\n\n2\n", {num(1), num(2)}},
    {"a sign at the end of input", "-", {num_fails(kEnd)}},
    {"a sign without digits", "-x\n4\n", {num_fails(kNaN), discard(), num(4)}},
    {"largest 64-bit value", "9223372036854775807\n", {wide(kWideMax)}},
    {"above the largest 64-bit value", "9223372036854775808\n", {wide_fails(kNaN)}},
    {"smallest 64-bit value", "-9223372036854775808\n", {wide(kWideMin)}},
    {"a line of any length", std::string(20000, 'x') + "\n5\n", {line(), num(5)}},
    {"nothing is discarded after a whole line", "a\nb\n", {line(), discard(), line(), line(false)}},
    {"the pause after a menu number",
     "1\nanything\n9\n",
     {num(1), line(), line(), discard(), num(9)}},
    {"end of input stays seen",
     "5",
     {num(5), num_fails(kEnd), line(false), discard(), num_fails(kEnd)}},
    {"empty input", "", {num_fails(kEnd), line(false)}},
    {"a partial last line is a line", "abc", {line(), line(false)}},
    {"discard reaches the end of input", "abc", {num_fails(kNaN), discard(), num_fails(kEnd)}},
};

class InputTest : public ::testing::TestWithParam<Case> {};

TEST_P(InputTest, ReadsAsScanfWouldAndDiscardsOnlyTheCurrentLine) {
    const Case &c = GetParam();
    std::FILE *in = std::tmpfile();
    ASSERT_NE(in, nullptr);
    std::fwrite(c.input.data(), 1, c.input.size(), in);
    std::rewind(in);
    std::FILE *prompts = std::tmpfile();
    ASSERT_NE(prompts, nullptr);

    Input input(in, prompts);
    for (std::size_t i = 0; i < c.ops.size(); ++i) {
        SCOPED_TRACE("operation " + std::to_string(i));
        const Op &op = c.ops[i];
        switch (op.kind) {
            case Op::Int: {
                std::int32_t v = -12345;
                EXPECT_EQ(input.read_int(v), op.read);
                EXPECT_EQ(v, op.read == Read::value ? op.value : -12345);
                break;
            }
            case Op::LongLong: {
                std::int64_t v = -12345;
                EXPECT_EQ(input.read_long_long(v), op.read);
                EXPECT_EQ(v, op.read == Read::value ? op.value : -12345);
                break;
            }
            case Op::Line:
                EXPECT_EQ(input.read_line(), op.line);
                break;
            case Op::Discard:
                input.discard_rest_of_line();
                break;
        }
    }
    std::fclose(in);
    std::fclose(prompts);
}

INSTANTIATE_TEST_SUITE_P(Scripted, InputTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) {
                             std::string name;
                             for (const char *p = info.param.name; *p != '\0'; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(InputPrompt, IsFlushedBeforeTheReadWaits) {
    std::FILE *in = std::tmpfile();
    std::FILE *prompts = std::tmpfile();
    ASSERT_NE(in, nullptr);
    ASSERT_NE(prompts, nullptr);
    std::setvbuf(prompts, nullptr, _IOFBF, 4096);
    std::fputs("3\n", in);
    std::rewind(in);
    std::fputs("    > ", prompts);

    Input input(in, prompts);
    std::int32_t v = 0;
    ASSERT_EQ(input.read_int(v), Read::value);
    // The prompt reached the file itself, not only the stream's buffer.
    char seen[16] = {};
    std::FILE *check =
        std::fopen(("/proc/self/fd/" + std::to_string(fileno(prompts))).c_str(), "r");
    ASSERT_NE(check, nullptr);
    std::fread(seen, 1, sizeof seen - 1, check);
    EXPECT_STREQ(seen, "    > ");
    std::fclose(check);
    std::fclose(in);
    std::fclose(prompts);
}

}  // namespace
