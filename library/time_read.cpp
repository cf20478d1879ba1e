// Reading times: snapshot_time, read_external_event_reg, read_preset_time_reg and
// read_time_cmp_reg. Each reads its register group once (after the snapshot strobe for the
// current time), decodes it, and hands the caller the representation of the time mode.
// Which offset settings enter modes 1 and 2 differs from register to register; callers rely
// on these differences, so each reader keeps its own row below.
#include <cstddef>
#include <cstdint>

#include "korvic_api.h"
#include "mmio.h"
#include "regmap.h"
#include "sequences.h"
#include "timecodec.h"

using korvic::regs::Reg;
namespace codec = korvic::codec;
namespace mmio = korvic::mmio;
namespace seq = korvic::seq;

namespace {

struct Reader {
    Reg reg;
    const codec::Group *group;
    bool strobe;       // snapshot strobe before the reading
    bool mode1_hours;  // + g_tz_offset to the hours in mode 1
    bool mode1_days;   // + g_day_offset to the days in mode 1
    bool mode2_hours;  // + g_tz_offset to the hours in mode 2
    bool mode2_days;   // + g_day_offset to the days in mode 2
    // Mode 1 always subtracts g_time_offset from the seconds; mode 2 never does.
};

// clang-format off
//                                   register            group                  strobe  m1 hrs m1 days m2 hrs m2 days
constexpr Reader kSnapshot      {Reg::TimeStatus,    &codec::kTimeStatus,    true,  true,  true,  true,  false};
constexpr Reader kExternalEvent {Reg::ExternalEvent, &codec::kExternalEvent, false, false, true,  false, false};
constexpr Reader kPresetTime    {Reg::PresetTime,    &codec::kPresetTime,    false, false, true,  false, true };
constexpr Reader kTimeCompare   {Reg::TimeCompare,   &codec::kTimeCompare,   false, true,  false, true,  false};
// clang-format on

constexpr bool words_agree(const Reader &r) {
    return korvic::regs::info(r.reg).words == r.group->words;
}
static_assert(words_agree(kSnapshot) && words_agree(kExternalEvent) && words_agree(kPresetTime) &&
              words_agree(kTimeCompare));

constexpr bool has_year(const codec::Group &g) {
    return (g.fields & codec::field_bit(codec::Field::Year)) != 0;
}

// Instantiated per reader, so that its layout and offsets are constants.
template <const Reader &r>
std::int32_t read_time(std::uint32_t mode, std::int32_t *mask, void *time) {
    const mmio::Window window = mmio::c_window();
    // Mode 0 loads the group a second time: one hold for both.
    const seq::Hold hold(window);
    const std::uint32_t words = r.group->words;
    const codec::Words first = r.strobe ? seq::snapshot(window) : seq::read_group(window, r.reg);
    const korvic_broken_down fields = codec::decode<*r.group>(first);
    if (mask != nullptr)
        *mask = codec::compare_mask(first);

    switch (mode) {
        case KORVIC_MODE_RAW: {
            // The words the caller gets are loaded afresh, with no strobe before them.
            const codec::Words again = seq::read_group(window, r.reg);
            auto *out = static_cast<std::uint32_t *>(time);
            for (std::uint32_t k = 0; k < words; ++k)
                out[k] = again[k];
            return 0;
        }
        case KORVIC_MODE_TIMESPEC: {
            const codec::Offsets o{r.mode1_hours ? g_tz_offset : 0, r.mode1_days ? g_day_offset : 0,
                                   g_time_offset, has_year(*r.group)};
            *static_cast<korvic_timespec *>(time) = codec::to_timespec(fields, o);
            return 0;
        }
        case KORVIC_MODE_MICROSECONDS: {
            const codec::Offsets o{r.mode2_hours ? g_tz_offset : 0, r.mode2_days ? g_day_offset : 0,
                                   0, has_year(*r.group)};
            *static_cast<std::uint64_t *>(time) = codec::to_microseconds(fields, o);
            return 0;
        }
        case KORVIC_MODE_BROKEN_DOWN:
            *static_cast<korvic_broken_down *>(time) = fields;
            return 0;
        default:
            return -1;
    }
}

}  // namespace

extern "C" {

int32_t snapshot_time(uint32_t mode, void *time) {
    return read_time<kSnapshot>(mode, nullptr, time);
}

int32_t read_external_event_reg(uint32_t mode, void *time) {
    return read_time<kExternalEvent>(mode, nullptr, time);
}

int32_t read_preset_time_reg(uint32_t mode, void *time) {
    return read_time<kPresetTime>(mode, nullptr, time);
}

int32_t read_time_cmp_reg(uint32_t mode, int32_t *mask, void *time) {
    return read_time<kTimeCompare>(mode, mask, time);
}

}  // extern "C"
