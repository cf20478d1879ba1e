#include "status.h"

#include <algorithm>
#include <utility>

#include "korvic/board.hpp"

namespace korvicd {

namespace {

// The hardware status word's view in the library's bit tables.
const korvic::BitRegisterView &hardware_status() {
    const auto registers = korvic::bit_registers();
    return *std::find_if(registers.begin(), registers.end(), [](const korvic::BitRegisterView &r) {
        return r.name == "hardware status";
    });
}

bool is_compare_flag(unsigned bit) {
    const auto fields = hardware_status().fields;
    return std::any_of(fields.begin(), fields.end(), [bit](const korvic::FieldView &f) {
        return f.low == bit && f.name == "compare event";
    });
}

std::string bit_list(const std::vector<unsigned> &bits) {
    std::string s;
    for (std::size_t i = 0; i < bits.size(); ++i)
        s += (i == 0 ? "" : i + 1 == bits.size() ? " or " : ", ") + std::to_string(bits[i]);
    return s;
}

}  // namespace

std::vector<unsigned> requirable_status_bits() {
    std::vector<unsigned> bits;
    for (const korvic::FieldView &f : hardware_status().fields)
        if (f.width == 1 && !is_compare_flag(f.low))
            bits.push_back(f.low);
    std::sort(bits.begin(), bits.end());
    return bits;
}

std::optional<StatusRequirement> parse_status_requirement(std::string_view text, std::string *why) {
    const auto refuse = [why](std::string reason) {
        if (why != nullptr)
            *why = std::move(reason);
        return std::nullopt;
    };
    const std::size_t eq = text.find('=');
    const std::string_view bit_text = text.substr(0, eq);
    const std::string_view value_text =
        eq == std::string_view::npos ? std::string_view{} : text.substr(eq + 1);
    const bool digits =
        !bit_text.empty() && bit_text.size() <= 2 &&
        std::all_of(bit_text.begin(), bit_text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || (value_text != "0" && value_text != "1"))
        return refuse("not BIT=VALUE, a status bit and 0 or 1 (8=1)");
    const auto bit = static_cast<unsigned>(std::stoul(std::string(bit_text)));
    const std::vector<unsigned> bits = requirable_status_bits();
    if (is_compare_flag(bit))
        return refuse("bit " + std::to_string(bit) +
                      " is the compare event flag, which software clears: not a condition");
    if (std::find(bits.begin(), bits.end(), bit) == bits.end())
        return refuse("bit " + std::to_string(bit) +
                      " is not a field of the hardware status word (" + bit_list(bits) + ")");
    return StatusRequirement{bit, value_text == "1"};
}

std::optional<StatusRequirement> unmet_status(std::uint32_t status,
                                              std::span<const StatusRequirement> required) {
    const auto met = [status](const StatusRequirement &r) {
        return ((status >> r.bit & 1u) != 0) == r.value;
    };
    // The unmet ones first, of those the lowest bit.
    const auto first =
        std::min_element(required.begin(), required.end(),
                         [&](const StatusRequirement &a, const StatusRequirement &b) {
                             return std::pair{met(a), a.bit} < std::pair{met(b), b.bit};
                         });
    if (first == required.end() || met(*first))
        return std::nullopt;
    return *first;
}

std::string describe_unmet(const StatusRequirement &unmet) {
    const std::string want = std::to_string(unmet.value ? 1 : 0);
    const std::string got = std::to_string(unmet.value ? 0 : 1);
    return "status bit " + std::to_string(unmet.bit) + " reads " + got + " (--require-status " +
           std::to_string(unmet.bit) + "=" + want + ")";
}

}  // namespace korvicd
