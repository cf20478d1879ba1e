// --require-status: which bits it takes (those of the library's table of the hardware status
// word, never the compare flag), and the bit named when a latched status word disagrees.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "status.h"

namespace {

using korvicd::StatusRequirement;
using ::testing::HasSubstr;

TEST(RequireStatus, TheBitsOfTheHardwareStatusWordButTheCompareFlag) {
    EXPECT_EQ(korvicd::requirable_status_bits(), (std::vector<unsigned>{8, 10, 12, 13}));
    const struct {
        const char *text;
        std::optional<StatusRequirement> req;
        const char *why;
    } cases[] = {
        {"8=1", StatusRequirement{8, true}, ""},
        {"13=0", StatusRequirement{13, false}, ""},
        {"08=1", StatusRequirement{8, true}, ""},
        {"9=0", std::nullopt, "bit 9 is the compare event flag, which software clears"},
        {"11=1", std::nullopt,
         "bit 11 is not a field of the hardware status word (8, 10, 12 or 13)"},
        {"7=1", std::nullopt, "bit 7 is not a field"},
        {"99=1", std::nullopt, "bit 99 is not a field"},
        {"8=2", std::nullopt, "not BIT=VALUE"},
        {"8", std::nullopt, "not BIT=VALUE"},
        {"=1", std::nullopt, "not BIT=VALUE"},
        {"8=1=1", std::nullopt, "not BIT=VALUE"},
        {"-8=1", std::nullopt, "not BIT=VALUE"},
        {"123=1", std::nullopt, "not BIT=VALUE"},
    };
    for (const auto &c : cases) {
        std::string why;
        EXPECT_EQ(korvicd::parse_status_requirement(c.text, &why), c.req) << c.text;
        EXPECT_THAT(why, HasSubstr(c.why)) << c.text;
    }
}

// The first requirement by bit that the word does not meet; the sub-second digits in the
// word's upper half are no status.
TEST(RequireStatus, TheLowestBitThatDisagreesIsNamed) {
    const std::vector<StatusRequirement> required = {{8, true}, {12, false}, {13, true}};
    const struct {
        std::uint32_t status;
        std::optional<StatusRequirement> unmet;
    } cases[] = {
        {0x2100, std::nullopt},
        {0xFFFF2100, std::nullopt},
        {0x2000, StatusRequirement{8, true}},
        {0x3000, StatusRequirement{8, true}},
        {0x3100, StatusRequirement{12, false}},
        {0x0100, StatusRequirement{13, true}},
        {0x2100 | 0x0400 | 0x0200, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(korvicd::unmet_status(c.status, required), c.unmet) << std::hex << c.status;
    EXPECT_EQ(korvicd::unmet_status(0, {}), std::nullopt);
    EXPECT_EQ(korvicd::describe_unmet({8, true}), "status bit 8 reads 0 (--require-status 8=1)");
    EXPECT_EQ(korvicd::describe_unmet({12, false}),
              "status bit 12 reads 1 (--require-status 12=0)");
}

}  // namespace
