// The board's own status as a condition of trust: --require-status BIT=VALUE, judged on the
// hardware status word latched with each reading (korvic::Sample::status), so that it costs
// no bus access. The bits are those of the library's table of the hardware status word
// (korvic::bit_registers()); what each means is the board's, from its manual. Bit 9, the
// compare event flag that software clears, is never a condition. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvicd {

struct StatusRequirement {
    unsigned bit = 0;
    bool value = false;

    friend bool operator==(const StatusRequirement &, const StatusRequirement &) = default;
};

// "8=1" as --require-status takes it. Nothing, with the reason in *why, for another form,
// for bit 9, or for a bit that the hardware status word does not have.
std::optional<StatusRequirement> parse_status_requirement(std::string_view text,
                                                          std::string *why = nullptr);

// The bits --require-status may name, lowest first (8, 10, 12, 13).
std::vector<unsigned> requirable_status_bits();

// The first requirement, by bit, that the status word does not meet; nothing when it meets
// them all.
std::optional<StatusRequirement> unmet_status(std::uint32_t status,
                                              std::span<const StatusRequirement> required);

// "status bit 8 reads 0 (--require-status 8=1)": the line that names the bit that disagrees.
std::string describe_unmet(const StatusRequirement &unmet);

}  // namespace korvicd
