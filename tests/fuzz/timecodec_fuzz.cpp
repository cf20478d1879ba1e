// Fuzzes the BCD time codec (timecodec.h) and the library's time functions on a plain
// memory window. Arbitrary words, fields, counts and offsets must pass every conversion
// without a crash or undefined behaviour (the sanitizers watch); and
//   - words of valid BCD digits decode and encode back to themselves, on every byte the
//     group's layout covers, for each of the four register groups;
//   - fields within their digits encode and decode back to themselves (fields a group
//     does not hold come back 0), and the compare mask travels in hi(L[7]);
//   - a microsecond count split into fields adds up to the count again (less its whole
//     365-day years when the year is dropped), and the fields stay in their ranges;
//   - a nanoseconds value below one second splits into milliseconds and microseconds
//     that add up to it, less its last three digits;
//   - modes 1 and 2 of one time agree: same seconds modulo 2^32, same sub-second part;
//   - the mode 1 writers' UTC calendar agrees with gmtime_r, for every 32-bit second count
//     and far beyond it;
//   - through the library: a preset and a compare time written in mode 3 read back in
//     mode 3 unchanged, with byte swapping on or off; a refused mode returns -1 and leaves
//     the caller's object alone.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fuzz_check.h"
#include "korvic_api.h"
#include "regmap.h"
#include "timecodec.h"

namespace {

namespace codec = korvic::codec;
using codec::Field;
using codec::Group;
using codec::Words;

using korvic::fuzz::check;

bool same(const korvic_broken_down &a, const korvic_broken_down &b) {
    return a.microseconds == b.microseconds && a.milliseconds == b.milliseconds &&
           a.seconds == b.seconds && a.minutes == b.minutes && a.hours == b.hours &&
           a.days == b.days && a.years == b.years;
}

// The bits of a group's words that its time digits occupy.
Words covered(const Group &g) {
    codec::Bytes mask{};
    for (const codec::Slot &s : g.layout) {
        if ((g.fields & codec::field_bit(s.field)) == 0)
            continue;
        mask[s.byte] |= s.part == codec::Part::Both ? 0xFF
                        : s.part == codec::Part::Hi ? 0xF0
                                                    : 0x0F;
    }
    Words w = codec::words_of(mask);
    for (std::size_t k = g.words; k < w.size(); ++k)
        w[k] = 0;
    return w;
}

// The same time with only the fields the group holds.
korvic_broken_down held(const Group &g, korvic_broken_down t) {
    for (std::size_t i = 0; i < codec::kFieldCount; ++i)
        if ((g.fields & codec::field_bit(static_cast<Field>(i))) == 0)
            codec::at(t, static_cast<Field>(i)) = 0;
    return t;
}

// Every nibble made a decimal digit.
std::uint32_t bcd_word(std::uint32_t w) {
    std::uint32_t out = 0;
    for (int n = 7; n >= 0; --n)
        out = out << 4 | ((w >> (4 * n)) & 0xFu) % 10;
    return out;
}

korvic_broken_down any_fields(FuzzedDataProvider &in) {
    korvic_broken_down t{};
    for (std::size_t i = 0; i < codec::kFieldCount; ++i)
        codec::at(t, static_cast<Field>(i)) = in.ConsumeIntegral<std::int32_t>();
    return t;
}

// Fields that fit their digits: three for the sub-second fields and the days, two for
// seconds, minutes and hours (the layouts take 0..99 whatever the clock allows), four for
// the year.
korvic_broken_down digit_fields(FuzzedDataProvider &in) {
    korvic_broken_down t{};
    t.microseconds = in.ConsumeIntegralInRange(0, 999);
    t.milliseconds = in.ConsumeIntegralInRange(0, 999);
    t.seconds = in.ConsumeIntegralInRange(0, 99);
    t.minutes = in.ConsumeIntegralInRange(0, 99);
    t.hours = in.ConsumeIntegralInRange(0, 99);
    t.days = in.ConsumeIntegralInRange(0, 999);
    t.years = in.ConsumeIntegralInRange(0, 9999);
    return t;
}

template <const Group &G>
void group_round_trips(const Words &raw, const korvic_broken_down &t) {
    // Arbitrary words: no check but the sanitizers'.
    const korvic_broken_down any = codec::decode<G>(raw);
    (void)codec::encode<G>(any);

    Words digits{};
    const Words mask = covered(G);
    for (std::size_t k = 0; k < digits.size(); ++k)
        digits[k] = bcd_word(raw[k]) & mask[k];
    check(codec::encode<G>(codec::decode<G>(digits)) == digits, "BCD words do not round-trip");

    check(same(codec::decode<G>(codec::encode<G>(t)), held(G, t)), "fields do not round-trip");
}

void codec_checks(FuzzedDataProvider &in) {
    const Words raw{in.ConsumeIntegral<std::uint32_t>(), in.ConsumeIntegral<std::uint32_t>(),
                    in.ConsumeIntegral<std::uint32_t>()};
    const korvic_broken_down t = digit_fields(in);
    group_round_trips<codec::kTimeStatus>(raw, t);
    group_round_trips<codec::kExternalEvent>(raw, t);
    group_round_trips<codec::kPresetTime>(raw, t);
    group_round_trips<codec::kTimeCompare>(raw, t);

    const std::int32_t mask = in.ConsumeIntegral<std::int32_t>();
    const Words cmp = codec::encode_compare(t, mask);
    check(codec::compare_mask(cmp) == (mask & 0xF), "compare mask lost");
    check(same(codec::decode<codec::kTimeCompare>(cmp), held(codec::kTimeCompare, t)),
          "compare time disturbed by the mask");
    check(cmp[2] == 0, "compare image has a third word");

    // Arbitrary fields and offsets through both modes.
    const korvic_broken_down any = any_fields(in);
    const codec::Offsets wild{in.ConsumeIntegral<std::int32_t>(),
                              in.ConsumeIntegral<std::int32_t>(),
                              in.ConsumeIntegral<std::int32_t>(), in.ConsumeBool()};
    (void)codec::to_timespec(any, wild);
    (void)codec::to_microseconds(any, wild);
    (void)codec::encode<codec::kTimeStatus>(any);
    (void)codec::encode_compare(any, mask);
    (void)codec::add_seconds(any.seconds, any.minutes);
    (void)codec::split_nanoseconds(any.milliseconds);

    // Modes 1 and 2 agree for fields within their digits and modest offsets.
    const codec::Offsets modest{in.ConsumeIntegralInRange(-1000, 1000),
                                in.ConsumeIntegralInRange(-1000, 1000), 0, in.ConsumeBool()};
    const korvic_timespec ts = codec::to_timespec(t, modest);
    const std::uint64_t us = codec::to_microseconds(t, modest);
    if (static_cast<std::int64_t>(us) >= 0) {
        check(static_cast<std::uint32_t>(us / 1'000'000) == static_cast<std::uint32_t>(ts.seconds),
              "modes 1 and 2 disagree on the seconds");
        check(static_cast<std::int64_t>(us % 1'000'000) * 1000 == ts.nanoseconds,
              "modes 1 and 2 disagree below the second");
    }

    // A count split into fields and added up again.
    const std::uint64_t count = in.ConsumeIntegral<std::uint64_t>();
    const bool with_year = in.ConsumeBool();
    std::uint64_t remaining = 0;
    std::uint64_t quotient = 0;
    const korvic_broken_down split =
        codec::split_microseconds(count, with_year, remaining, quotient);
    check(split.days >= 0 && split.days < 365 && split.hours >= 0 && split.hours < 24 &&
              split.minutes >= 0 && split.minutes < 60 && split.seconds >= 0 &&
              split.seconds < 60 && split.milliseconds >= 0 && split.milliseconds < 1000 &&
              split.microseconds >= 0 && split.microseconds < 1000,
          "split fields out of range");
    check(remaining == count % codec::kMicrosPerSecond &&
              quotient == static_cast<std::uint64_t>(split.milliseconds),
          "scratch values are not the last remainder and quotient");
    codec::Offsets none{};
    none.year_term = with_year;
    check(
        codec::to_microseconds(split, none) == (with_year ? count : count % codec::kMicrosPerYear),
        "split count does not add up");
    check(with_year || split.years == 0, "a year without the year");

    // The calendar against the C library's, for a 32-bit count and for a far wider one.
    for (const std::int64_t when : {static_cast<std::int64_t>(in.ConsumeIntegral<std::int32_t>()),
                                    in.ConsumeIntegralInRange<std::int64_t>(
                                        -(std::int64_t{1} << 40), std::int64_t{1} << 40)}) {
        const codec::Calendar c = codec::utc_calendar(when);
        const std::time_t tt = when;
        std::tm ref{};
        check(gmtime_r(&tt, &ref) != nullptr, "gmtime_r failed");
        check(c.year == ref.tm_year + 1900 && c.yday == ref.tm_yday && c.hour == ref.tm_hour &&
                  c.minute == ref.tm_min && c.second == ref.tm_sec,
              "utc_calendar differs from gmtime_r");
    }

    const std::int32_t ns = in.ConsumeIntegral<std::int32_t>();
    const codec::Fraction f = codec::split_nanoseconds(ns);
    if (ns >= 0 && ns < 1'000'000'000)
        check(f.milliseconds >= 0 && f.milliseconds < 1000 && f.microseconds >= 0 &&
                  f.microseconds < 1000 &&
                  f.milliseconds * 1'000'000 + f.microseconds * 1000 == ns - ns % 1000,
              "nanoseconds split wrongly");
}

// A plain memory register window.
alignas(8) std::uint32_t g_window[korvic::regs::kWindowBytes / 4];

void library_checks(FuzzedDataProvider &in) {
    base_addr = g_window;
    kv_mem = reinterpret_cast<volatile std::uint8_t *>(g_window);
    for (auto &w : g_window)
        w = in.ConsumeIntegral<std::uint32_t>();
    g_byte_swap = in.ConsumeBool() ? in.ConsumeIntegral<std::int32_t>() | 1 : 0;
    g_time_offset = g_tz_offset = g_day_offset = 0;

    // Round trips in mode 3: every field within its digits comes back (no microseconds in
    // the preset register, no year in the compare register).
    korvic_broken_down t = digit_fields(in);
    korvic_broken_down back{};
    check(write_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &t) == 0, "preset write refused");
    check(read_preset_time_reg(KORVIC_MODE_BROKEN_DOWN, &back) == 0, "preset read refused");
    check(same(back, held(codec::kPresetTime, t)), "preset does not read back");
    const std::int32_t mask = in.ConsumeIntegral<std::int32_t>();
    std::int32_t mask_back = -1;
    check(write_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, mask, &t) == 0, "compare write refused");
    check(read_time_cmp_reg(KORVIC_MODE_BROKEN_DOWN, &mask_back, &back) == 0,
          "compare read refused");
    check(same(back, held(codec::kTimeCompare, t)) && mask_back == (mask & 0xF),
          "compare time does not read back");

    // Every mode, refused ones included, on arbitrary objects, words and offsets.
    g_time_offset = in.ConsumeIntegral<std::int32_t>();
    g_tz_offset = in.ConsumeIntegral<std::int32_t>();
    g_day_offset = in.ConsumeIntegral<std::int32_t>();
    for (int i = 0; i < 4 && in.remaining_bytes() > 0; ++i) {
        std::uint32_t mode = in.ConsumeIntegralInRange<std::uint32_t>(0, 4);
        if (mode == 4)
            mode = in.ConsumeIntegralInRange<std::uint32_t>(4, UINT32_MAX);
        union Object {
            std::uint32_t words[8];
            korvic_timespec ts;
            std::uint64_t count;
            korvic_broken_down fields;
        } object{}, before{};
        for (auto &w : object.words)
            w = in.ConsumeIntegral<std::uint32_t>();
        before = object;
        const std::int32_t want = mode > KORVIC_MODE_BROKEN_DOWN ? -1 : 0;
        std::int32_t m = 0;
        if (in.ConsumeBool())
            check(snapshot_time(mode, &object) == want, "snapshot_time result");
        if (in.ConsumeBool())
            check(read_external_event_reg(mode, &object) == want, "external event result");
        if (in.ConsumeBool())
            check(read_preset_time_reg(mode, &object) == want, "preset read result");
        if (in.ConsumeBool())
            check(read_time_cmp_reg(mode, &m, &object) == want, "compare read result");
        if (in.ConsumeBool())
            check(write_preset_time_reg(mode, &object) == want, "preset write result");
        if (in.ConsumeBool())
            check(write_time_cmp_reg(mode, m, &object) == want, "compare write result");
        if (mode > KORVIC_MODE_BROKEN_DOWN)
            check(std::memcmp(&object, &before, sizeof object) == 0,
                  "a refused mode changed the caller's object");
    }
    g_byte_swap = g_time_offset = g_tz_offset = g_day_offset = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    codec_checks(in);
    library_checks(in);
    return 0;
}
