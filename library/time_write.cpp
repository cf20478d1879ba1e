// Writing times: write_preset_time_reg, set_new_time, reset_time and write_time_cmp_reg.
// Apart from mode 0, which passes the caller's words through, a writer derives the time
// fields from the caller's time, builds the register's whole image and stores it word by
// word in ascending order. A preset is followed by the preset load bit.
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

extern "C" {
// Scratch of the mode 2 writers: the running remainder of the count and the quotient being
// split off. They hold the last intermediate values after a call.
uint64_t remaining_micro = 0;
uint64_t temp_val = 0;
}

namespace {

// The seven time fields of a caller's time in mode 1, 2 or 3. The microsecond count loses
// its whole 365-day years when the register holds no year.
korvic_broken_down fields_of(std::uint32_t mode, const void *time, bool with_year) {
    switch (mode) {
        case KORVIC_MODE_TIMESPEC: {
            // The offset is added on a copy: the caller's seconds stay as they were, and
            // writing the same object again writes the same time.
            const auto &ts = *static_cast<const korvic_timespec *>(time);
            const codec::Calendar cal =
                codec::utc_calendar(codec::add_seconds(ts.seconds, g_time_offset));
            const codec::Fraction f = codec::split_nanoseconds(ts.nanoseconds);
            return {f.microseconds, f.milliseconds,          cal.second, cal.minute, cal.hour,
                    cal.yday,       with_year ? cal.year : 0};
        }
        case KORVIC_MODE_MICROSECONDS:
            return codec::split_microseconds(*static_cast<const std::uint64_t *>(time), with_year,
                                             remaining_micro, temp_val);
        default:
            return *static_cast<const korvic_broken_down *>(time);
    }
}

codec::Words caller_words(const void *time, std::uint32_t words) {
    codec::Words w{};
    const auto *in = static_cast<const std::uint32_t *>(time);
    for (std::uint32_t k = 0; k < words; ++k)
        w[k] = in[k];
    return w;
}

}  // namespace

extern "C" {

int32_t write_preset_time_reg(uint32_t mode, void *time) {
    if (mode > KORVIC_MODE_BROKEN_DOWN)
        return -1;
    const codec::Words image = mode == KORVIC_MODE_RAW
                                   ? caller_words(time, codec::kPresetTime.words)
                                   : codec::encode<codec::kPresetTime>(fields_of(mode, time, true));
    seq::preset(mmio::c_window(), image);
    return 0;
}

// The preset under the console's name; a refused mode is reported, not hidden.
int32_t set_new_time(uint32_t mode, void *time) {
    return write_preset_time_reg(mode, time);
}

// All-zero preset words (zero reads the same in either byte order), then the load bit.
int32_t reset_time(void) {
    seq::preset(mmio::c_window(), codec::Words{});
    return 0;
}

// No load bit follows: the mask travels in the second word, which ends the write.
int32_t write_time_cmp_reg(uint32_t mode, int32_t mask, void *time) {
    if (mode > KORVIC_MODE_BROKEN_DOWN)
        return -1;
    const codec::Words image = mode == KORVIC_MODE_RAW
                                   ? caller_words(time, codec::kTimeCompare.words)
                                   : codec::encode_compare(fields_of(mode, time, false), mask);
    seq::write_group(mmio::c_window(), Reg::TimeCompare, image);
    return 0;
}

}  // extern "C"
