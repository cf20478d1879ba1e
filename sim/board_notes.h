// What the board says about an access in the trace: every piece a note is built from, and
// the longest note one access can produce, derived from those pieces. Note is sized by it,
// so no note is ever cut; a new piece of text must be counted here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <string_view>

#include "bcd_layout.h"
#include "board_map.h"
#include "calendar.h"
#include "text.h"

namespace korvic::sim::notes {

inline constexpr std::string_view kSeparator = "; ";

// At the start of a board access: the events that happened since the last one.
inline constexpr std::string_view kCompareRaised = "compare event raised at ";
inline constexpr std::string_view kExternalCaptured = "external event captured at ";

// The access itself.
inline constexpr std::string_view kSnapshot = "snapshot strobe: latched ";
inline constexpr std::string_view kPositionFreeze = "position freeze strobe: counter ";
inline constexpr std::string_view kNotAStrobe = "not a strobe: write ignored";
inline constexpr std::string_view kTimerStopped = "timer stopped at ";
inline constexpr std::string_view kTimerStarted = "timer started at ";
inline constexpr std::string_view kPresetLoaded = "preset loaded ";
inline constexpr std::string_view kCompareCleared = "compare event cleared";
inline constexpr std::string_view kCompareAt = "compare at day ";
inline constexpr std::string_view kCompareMask = ", mask ";
inline constexpr std::string_view kReadOnly = "read-only: write ignored";
inline constexpr std::string_view kNoRegisterRead = "no register: reads 0";
inline constexpr std::string_view kNoRegisterWrite = "no register: write ignored";
inline constexpr std::string_view kStatus = "status";
inline constexpr std::string_view kStatusRunning = " running";
inline constexpr std::string_view kStatusStopped = " stopped";
inline constexpr std::string_view kStatusTimeSet = ", time set";
inline constexpr std::string_view kStatusCompare = ", compare event";
inline constexpr std::string_view kStatusExternal = ", external event";
// Status bits forced by the run's faults, each as " BIT=VALUE".
inline constexpr std::string_view kStatusForced = ", forced";
inline constexpr std::string_view kForcedBit = " 13=1";  // the longest
// A leap second played, before the minute that begins at the time given.
inline constexpr std::string_view kLeapInserted = "leap second inserted before ";
inline constexpr std::string_view kLeapDeleted = "leap second deleted before ";

// The bridge.
inline constexpr std::string_view kInterruptsEnabled = "interrupts enabled:";
inline constexpr std::string_view kLocalInput1 = " local input 1";
inline constexpr std::string_view kLocalInput2 = " local input 2";
inline constexpr std::string_view kPci = " PCI";

// What each compare mask selects, by mask value.
inline constexpr std::array<std::string_view, 16> kMaskMeanings = {
    "once a year: day, time of day and fraction compared",
    "every day: day is a wildcard",
    "every hour: day and hours are wildcards",
    "every minute: day, hours and minutes are wildcards",
    "every second: only the fraction of the second compared",
    "every millisecond: only the microseconds compared",
    "reserved: no event",
    "reserved: no event",
    "reserved: no event",
    "reserved: no event",
    "reserved: no event",
    "reserved: no event",
    "reserved: no event",
    "reserved: no event",
    "reserved: no event",
    "compare off",
};

// ---------------------------------------------------------------------------------------
// The longest note.
// ---------------------------------------------------------------------------------------

constexpr std::size_t longest(std::initializer_list<std::size_t> sizes) {
    return std::max(sizes);
}

// Characters of v in decimal, zero-padded to `width` digits (as FixedText::dec writes it).
constexpr std::size_t decimal_chars(std::int64_t v, std::size_t width = 0) {
    std::size_t digits = 1;
    for (std::int64_t rest = v / 10; rest != 0; rest /= 10)
        ++digits;
    return (v < 0 ? 1 : 0) + std::max(digits, width);
}

// A time as FixedText::time writes it, for every instant the calendar can break down (the
// 64-bit microsecond range, less the day at its lower end): the year takes the most room.
inline constexpr std::int64_t kEarliestTime = std::numeric_limits<std::int64_t>::min() + kUsPerDay;
inline constexpr std::int64_t kLatestTime = std::numeric_limits<std::int64_t>::max();
inline constexpr std::size_t kYearChars = std::max(decimal_chars(from_us(kEarliestTime).year, 4),
                                                   decimal_chars(from_us(kLatestTime).year, 4));
inline constexpr std::size_t kTimeChars =
    kYearChars + std::string_view("-DDD hh:mm:ss.ffffff").size();
inline constexpr std::size_t kTimeToMsChars = kTimeChars - 3;

// A field of the compare register: each of its BCD nibbles may hold up to 15.
constexpr std::size_t compare_field_chars(std::initializer_list<Digit> digits, std::size_t width) {
    std::int64_t max = 0;
    for (const ByteDigits &b : kCompareLayout) {
        std::int64_t weight = 1;
        for (Digit d : digits) {
            if (b.hi == d)
                max += 15 * weight;
            if (b.lo == d)
                max += 15 * weight;
            weight *= 10;
        }
    }
    return decimal_chars(max, width);
}

inline constexpr std::size_t kCompareNote =
    kCompareAt.size() + compare_field_chars({Digit::D1, Digit::D10, Digit::D100}, 3) + 1 +
    compare_field_chars({Digit::H1, Digit::H10}, 2) + 1 +
    compare_field_chars({Digit::Min1, Digit::Min10}, 2) + 1 +
    compare_field_chars({Digit::S1, Digit::S10}, 2) + 1 +
    compare_field_chars({Digit::Ms1, Digit::Ms10, Digit::Ms100}, 3) +
    compare_field_chars({Digit::Us1, Digit::Us10, Digit::Us100}, 3) + kCompareMask.size() +
    decimal_chars(15) + 2 +
    std::ranges::max(kMaskMeanings, {}, [](std::string_view m) { return m.size(); }).size() + 1;

// Before every board access: a compare crossing and two external events (a periodic one
// and a requested one).
inline constexpr std::size_t kStartOfAccess =
    longest({kLeapInserted.size(), kLeapDeleted.size()}) + kTimeChars + kSeparator.size() +
    kCompareRaised.size() + kTimeChars + kSeparator.size() +
    2 * (kExternalCaptured.size() + kTimeChars) + kSeparator.size();

// The access's own effects: one of these.
inline constexpr std::size_t kBoardEffect = longest({
    // CONFIG: the timer stops or starts, and the preset loads.
    longest({kTimerStopped.size(), kTimerStarted.size()}) + kTimeChars + kSeparator.size() +
        kPresetLoaded.size() + kTimeToMsChars,
    kCompareNote,
    kStatus.size() + longest({kStatusRunning.size(), kStatusStopped.size()}) +
        kStatusTimeSet.size() + kStatusCompare.size() + kStatusExternal.size() +
        kStatusForced.size() + std::size(kForcibleStatusBits) * kForcedBit.size(),
    kSnapshot.size() + kTimeChars,
    kPositionFreeze.size() + std::string_view("0x12345678").size(),
    kNotAStrobe.size(),
    kCompareCleared.size(),
    kReadOnly.size(),
    kNoRegisterRead.size(),
    kNoRegisterWrite.size(),
});

inline constexpr std::size_t kBridgeNote =
    kInterruptsEnabled.size() + kLocalInput1.size() + kLocalInput2.size() + kPci.size();

inline constexpr std::size_t kLongestNote =
    longest({kStartOfAccess + kSeparator.size() + kBoardEffect, kBridgeNote});

}  // namespace korvic::sim::notes

namespace korvic::sim {

// What one register access meant to the board or the bridge.
inline constexpr std::size_t kNoteCapacity = 384;
static_assert(notes::kLongestNote <= kNoteCapacity,
              "the longest note the board can write must fit in a Note: raise kNoteCapacity");
using Note = FixedText<kNoteCapacity>;

}  // namespace korvic::sim
