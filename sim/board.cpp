#include "board.h"

namespace korvic::sim {

// ---------------------------------------------------------------------------------------
// BCD layouts.
// ---------------------------------------------------------------------------------------

namespace {

// The value of one digit of `f` (and of the 4-bit extra).
std::uint32_t digit_of(Digit d, const BoardFields &f, std::uint32_t extra) {
    auto at = [](std::int32_t v, std::uint32_t div) {
        return (static_cast<std::uint32_t>(v < 0 ? 0 : v) / div) % 10;
    };
    switch (d) {
        case Digit::None:
            return 0;
        case Digit::Us1:
            return at(f.microsecond, 1);
        case Digit::Us10:
            return at(f.microsecond, 10);
        case Digit::Us100:
            return at(f.microsecond, 100);
        case Digit::Ms1:
            return at(f.millisecond, 1);
        case Digit::Ms10:
            return at(f.millisecond, 10);
        case Digit::Ms100:
            return at(f.millisecond, 100);
        case Digit::S1:
            return at(f.second, 1);
        case Digit::S10:
            return at(f.second, 10);
        case Digit::Min1:
            return at(f.minute, 1);
        case Digit::Min10:
            return at(f.minute, 10);
        case Digit::H1:
            return at(f.hour, 1);
        case Digit::H10:
            return at(f.hour, 10);
        case Digit::D1:
            return at(f.yday, 1);
        case Digit::D10:
            return at(f.yday, 10);
        case Digit::D100:
            return at(f.yday, 100);
        case Digit::Y1:
            return at(f.year, 1);
        case Digit::Y10:
            return at(f.year, 10);
        case Digit::Y100:
            return at(f.year, 100);
        case Digit::Y1000:
            return at(f.year, 1000);
        case Digit::Extra:
            return extra & 0xF;
    }
    return 0;
}

void add_digit(Digit d, std::uint32_t nibble, DigitFields &out) {
    const auto v = static_cast<std::int32_t>(nibble);
    switch (d) {
        case Digit::None:
            break;
        case Digit::Us1:
            out.microsecond += v;
            break;
        case Digit::Us10:
            out.microsecond += 10 * v;
            break;
        case Digit::Us100:
            out.microsecond += 100 * v;
            break;
        case Digit::Ms1:
            out.millisecond += v;
            break;
        case Digit::Ms10:
            out.millisecond += 10 * v;
            break;
        case Digit::Ms100:
            out.millisecond += 100 * v;
            break;
        case Digit::S1:
            out.second += v;
            break;
        case Digit::S10:
            out.second += 10 * v;
            break;
        case Digit::Min1:
            out.minute += v;
            break;
        case Digit::Min10:
            out.minute += 10 * v;
            break;
        case Digit::H1:
            out.hour += v;
            break;
        case Digit::H10:
            out.hour += 10 * v;
            break;
        case Digit::D1:
            out.yday += v;
            break;
        case Digit::D10:
            out.yday += 10 * v;
            break;
        case Digit::D100:
            out.yday += 100 * v;
            break;
        case Digit::Y1:
            out.year += v;
            break;
        case Digit::Y10:
            out.year += 10 * v;
            break;
        case Digit::Y100:
            out.year += 100 * v;
            break;
        case Digit::Y1000:
            out.year += 1000 * v;
            break;
        case Digit::Extra:
            out.extra = nibble;
            break;
    }
}

}  // namespace

void encode_layout(const Layout &layout, const BoardFields &f, std::uint32_t extra,
                   std::uint32_t *words, int count) {
    for (int w = 0; w < count; ++w) {
        std::uint32_t word = 0;
        for (int b = 0; b < 4; ++b) {
            const ByteDigits &bd =
                layout[static_cast<std::size_t>(w) * 4 + static_cast<std::size_t>(b)];
            const std::uint32_t byte = digit_of(bd.hi, f, extra) << 4 | digit_of(bd.lo, f, extra);
            word |= byte << (24 - 8 * b);
        }
        words[w] = word;
    }
}

DigitFields decode_layout(const Layout &layout, const std::uint32_t *words, int count) {
    DigitFields out;
    for (int w = 0; w < count; ++w) {
        for (int b = 0; b < 4; ++b) {
            const ByteDigits &bd =
                layout[static_cast<std::size_t>(w) * 4 + static_cast<std::size_t>(b)];
            const std::uint32_t byte = (words[w] >> (24 - 8 * b)) & 0xFF;
            add_digit(bd.hi, byte >> 4, out);
            add_digit(bd.lo, byte & 0xF, out);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Time compare.
// ---------------------------------------------------------------------------------------

const char *compare_mask_meaning(std::uint32_t mask) {
    return notes::kMaskMeanings[mask & 0xF].data();
}

std::optional<std::int64_t> compare_crossing(const CompareSetting &c, std::int64_t prev,
                                             std::int64_t now) {
    if (now <= prev || c.mask > 5)
        return std::nullopt;
    const DigitFields &t = c.time;
    // A kept field out of its range never equals the board's: no event.
    const bool keep_us = true, keep_ms = c.mask <= 4, keep_s = c.mask <= 3, keep_min = c.mask <= 2,
               keep_h = c.mask <= 1, keep_day = c.mask == 0;
    if ((keep_us && t.microsecond > 999) || (keep_ms && t.millisecond > 999) ||
        (keep_s && t.second > 59) || (keep_min && t.minute > 59) || (keep_h && t.hour > 23) ||
        (keep_day && t.yday > 365))
        return std::nullopt;

    if (c.mask == 0) {
        const std::int64_t tod = t.hour * kUsPerHour + t.minute * kUsPerMinute +
                                 t.second * kUsPerSecond + t.millisecond * kUsPerMs + t.microsecond;
        const std::int32_t last = from_us(now).year;
        for (std::int32_t y = last, n = 0; y >= from_us(prev).year && n < 10000; --y, ++n) {
            if (t.yday >= days_in_year(y))
                continue;
            const std::int64_t at = days_to_year(y) * kUsPerDay + t.yday * kUsPerDay + tod;
            if (at > prev && at <= now)
                return at;
            if (at <= prev)
                break;
        }
        return std::nullopt;
    }

    static constexpr std::int64_t kPeriod[6] = {
        0, kUsPerDay, kUsPerHour, kUsPerMinute, kUsPerSecond, kUsPerMs};
    std::int64_t offset = t.microsecond;
    if (keep_ms)
        offset += t.millisecond * kUsPerMs;
    if (keep_s)
        offset += t.second * kUsPerSecond;
    if (keep_min)
        offset += t.minute * kUsPerMinute;
    if (keep_h)
        offset += t.hour * kUsPerHour;
    const std::int64_t period = kPeriod[c.mask];
    const std::int64_t at = floor_div(now - offset, period) * period + offset;
    if (at > prev)
        return at;
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Board.
// ---------------------------------------------------------------------------------------

namespace {

std::uint32_t reverse_bytes(std::uint32_t w) {
    return (w >> 24) | ((w >> 8) & 0xFF00u) | ((w << 8) & 0xFF0000u) | (w << 24);
}

}  // namespace

Board::Board(Clock &clock, BoardOptions options) : clock_(&clock), options_(options) {
    base_clock_ = clock_->now_us();
    base_board_ = options_.start_us.value_or(base_clock_);
    frozen_ = base_board_;
    last_eval_ = base_board_;
    position_ref_ = base_board_;
    latch_snapshot(base_board_, nullptr);
}

std::int64_t Board::time_us() const {
    if (!running_)
        return frozen_;
    return clamp_board_time(
        saturating_add(base_board_, saturating_sub(clock_->now_us(), base_clock_)));
}

std::uint32_t Board::to_bus(std::uint32_t v) const {
    return options_.bus_order == BusOrder::Swapped ? reverse_bytes(v) : v;
}

std::uint32_t Board::status_bits() const {
    std::uint32_t s = kStatusReferenceLocked;
    if (running_)
        s |= kStatusTimerRunning;
    if (time_set_)
        s |= kStatusTimeSet;
    if (external_pending_)
        s |= kStatusExternalEvent;
    if (compare_flag_)
        s |= kStatusCompareEvent;
    return s;
}

std::uint32_t Board::status_nibble() const {
    return (running_ ? 8u : 0u) | (time_set_ ? 4u : 0u) | (compare_flag_ ? 2u : 0u) |
           (external_pending_ ? 1u : 0u);
}

std::int64_t Board::begin_access(Note *note) {
    clock_->on_access();
    ++accesses_;
    const std::int64_t now = time_us();
    // The events of this access happen in time order, so that the external event register
    // ends up holding the latest capture: the compare crossing and the periodic event lie
    // between the last access and now, a requested event happens now.
    std::optional<std::int64_t> compare_at, periodic_at;
    if (now > last_eval_) {
        CompareSetting c;
        c.time = decode_layout(kCompareLayout, compare_, 2);
        c.mask = c.time.extra;
        compare_at = compare_crossing(c, last_eval_, now);
        const std::int64_t period = options_.external_event_period_us;
        if (period > 0) {
            const std::int64_t at = floor_div(now, period) * period;
            if (at > last_eval_)
                periodic_at = at;
        }
        last_eval_ = now;
    }
    const bool requested = external_request_.exchange(false, std::memory_order_relaxed);
    if (compare_at && (!periodic_at || *compare_at <= *periodic_at)) {
        raise_compare(*compare_at, note);
        compare_at.reset();
    }
    if (periodic_at)
        capture_external(*periodic_at, note);
    if (compare_at)
        raise_compare(*compare_at, note);
    if (requested)
        capture_external(now, note);
    return now;
}

void Board::raise_compare(std::int64_t at, Note *note) {
    compare_flag_ = true;
    if (note != nullptr)
        note->then().add(notes::kCompareRaised).time(at);
}

void Board::latch_snapshot(std::int64_t now, Note *note) {
    encode_layout(kTimeStatusLayout, from_us(now), status_nibble(), latched_time_, 3);
    if (note != nullptr)
        note->then().add(notes::kSnapshot).time(now);
}

void Board::freeze_position(std::int64_t now, Note *note) {
    // The position counter: the preset position, its last word advanced by the milliseconds
    // of board time since the preset position was written (modulo 2^32).
    const auto elapsed_ms =
        static_cast<std::uint64_t>(floor_div(saturating_sub(now, position_ref_), kUsPerMs));
    for (int i = 0; i < 3; ++i)
        frozen_position_[i] = preset_position_[i];
    frozen_position_[3] = preset_position_[3] + static_cast<std::uint32_t>(elapsed_ms);
    if (note != nullptr)
        note->then().add(notes::kPositionFreeze).hex(frozen_position_[3]);
}

void Board::capture_external(std::int64_t at, Note *note) {
    external_count_ = (external_count_ + 1) & 0xF;
    encode_layout(kExternalEventLayout, from_us(at), external_count_, external_, 3);
    external_pending_ = true;
    if (note != nullptr)
        note->then().add(notes::kExternalCaptured).time(at);
}

void Board::set_time(std::int64_t t) {
    if (running_) {
        base_board_ = t;
        base_clock_ = clock_->now_us();
    } else {
        frozen_ = t;
    }
    // A preset is a jump, not a passage of time: nothing between is crossed.
    last_eval_ = t;
}

void Board::write_config(std::uint32_t value, std::int64_t now, Note *note) {
    const std::uint32_t old = config_;
    config_ = value & ~kConfigPresetLoad;  // the load bit clears itself
    if ((old ^ value) & kConfigTimerStop) {
        if (value & kConfigTimerStop) {
            frozen_ = now;
            running_ = false;
            if (note != nullptr)
                note->then().add(notes::kTimerStopped).time(now);
        } else {
            base_board_ = frozen_;
            base_clock_ = clock_->now_us();
            running_ = true;
            last_eval_ = frozen_;
            if (note != nullptr)
                note->then().add(notes::kTimerStarted).time(frozen_);
        }
    }
    if (value & kConfigPresetLoad) {
        const DigitFields d = decode_layout(kPresetTimeLayout, preset_time_, 3);
        BoardFields f;
        f.year = d.year;
        f.yday = d.yday;
        f.hour = d.hour;
        f.minute = d.minute;
        f.second = d.second;
        f.millisecond = d.millisecond;
        f.microsecond = 0;
        const std::int64_t t = to_us(f);
        set_time(t);
        time_set_ = true;
        if (note != nullptr)
            note->then().add(notes::kPresetLoaded).time(t, false);
    }
}

std::uint32_t Board::register_word(std::uint32_t offset) const {
    std::uint32_t w = 0;
    const BoardRegInfo *r = find_board_reg(offset & ~3u, &w);
    if (r == nullptr)
        return 0;
    switch (r->id) {
        case BoardReg::HwControl:
            return hw_control_;
        case BoardReg::TimeStatus:
            return w == 0 ? (latched_time_[0] & 0xFFFF0000u) | status_bits() : latched_time_[w];
        case BoardReg::PositionFreeze:
            return frozen_position_[w];
        case BoardReg::Config:
            return config_;
        case BoardReg::Diagnostic:
            return kDiagnosticValue;
        case BoardReg::LocalOffset:
            return local_offset_;
        case BoardReg::SyncOffset:
            return sync_offset_;
        case BoardReg::Compare:
            return compare_[w];
        case BoardReg::PresetTime:
            return preset_time_[w];
        case BoardReg::PresetPosition:
            return preset_position_[w];
        case BoardReg::ExternalEvent:
            return external_[w];
        case BoardReg::SignalLevel:
            return kSignalLevels[w];
    }
    return 0;
}

std::uint32_t Board::read(std::uint32_t offset, Note *note) {
    offset &= ~3u;
    begin_access(note);
    const std::uint32_t value = register_word(offset);
    std::uint32_t w = 0;
    const BoardRegInfo *r = find_board_reg(offset, &w);
    if (r != nullptr && r->id == BoardReg::ExternalEvent && w == 0) {
        external_pending_ = false;  // reading the event acknowledges it
    }
    if (note != nullptr && r != nullptr && r->id == BoardReg::TimeStatus && w == 0) {
        note->then().add(notes::kStatus);
        if (running_)
            note->add(notes::kStatusRunning);
        else
            note->add(notes::kStatusStopped);
        if (time_set_)
            note->add(notes::kStatusTimeSet);
        if (compare_flag_)
            note->add(notes::kStatusCompare);
        if (external_pending_)
            note->add(notes::kStatusExternal);
    }
    if (note != nullptr && r == nullptr)
        note->then().add(notes::kNoRegisterRead);
    return to_bus(value);
}

void Board::write(std::uint32_t offset, std::uint32_t bus_value, Note *note) {
    offset &= ~3u;
    const std::int64_t now = begin_access(note);
    const std::uint32_t value = to_bus(bus_value);  // the reversal is its own inverse
    std::uint32_t w = 0;
    const BoardRegInfo *r = find_board_reg(offset, &w);
    if (r == nullptr) {
        if (note != nullptr)
            note->then().add(notes::kNoRegisterWrite);
        return;
    }
    switch (r->id) {
        case BoardReg::HwControl:
            if (value & kHwCtlCompareClear) {
                compare_flag_ = false;
                if (note != nullptr)
                    note->then().add(notes::kCompareCleared);
            }
            hw_control_ = value & ~kHwCtlCompareClear;  // the clear bit clears itself
            break;
        case BoardReg::TimeStatus:
            if (w == 0 && value == kSnapshotStrobeValue) {
                latch_snapshot(now, note);
            } else if (w == 0 && (value == kPositionStrobeLow || value == kPositionStrobeHigh)) {
                freeze_position(now, note);
            } else if (note != nullptr) {
                note->then().add(notes::kNotAStrobe);
            }
            break;
        case BoardReg::Config:
            write_config(value, now, note);
            break;
        case BoardReg::LocalOffset:
            local_offset_ = value;
            break;
        case BoardReg::SyncOffset:
            sync_offset_ = value;
            break;
        case BoardReg::Compare:
            compare_[w] = value;
            if (note != nullptr && w == 1) {
                const DigitFields d = decode_layout(kCompareLayout, compare_, 2);
                BoardFields f;
                f.yday = d.yday;
                f.hour = d.hour;
                f.minute = d.minute;
                f.second = d.second;
                f.millisecond = d.millisecond;
                f.microsecond = d.microsecond;
                note->then().add(notes::kCompareAt).dec(f.yday, 3).add(' ');
                note->dec(f.hour, 2).add(':').dec(f.minute, 2).add(':').dec(f.second, 2);
                note->add('.').dec(f.millisecond, 3).dec(f.microsecond, 3);
                note->add(notes::kCompareMask)
                    .dec(d.extra)
                    .add(" (")
                    .add(compare_mask_meaning(d.extra));
                note->add(')');
            }
            break;
        case BoardReg::PresetTime:
            preset_time_[w] = value;
            break;
        case BoardReg::PresetPosition:
            preset_position_[w] = value;
            position_ref_ = now;
            break;
        case BoardReg::PositionFreeze:
        case BoardReg::Diagnostic:
        case BoardReg::ExternalEvent:
        case BoardReg::SignalLevel:
            if (note != nullptr)
                note->then().add(notes::kReadOnly);
            break;
    }
}

// ---------------------------------------------------------------------------------------
// Bridge.
// ---------------------------------------------------------------------------------------

std::uint32_t Bridge::read(std::uint32_t offset, Note *note) {
    (void)note;
    return words_[(offset % kBridgeWindowBytes) / 4];
}

void Bridge::write(std::uint32_t offset, std::uint32_t value, Note *note) {
    const std::uint32_t old = words_[(offset % kBridgeWindowBytes) / 4];
    words_[(offset % kBridgeWindowBytes) / 4] = value;
    if (note == nullptr || (offset % kBridgeWindowBytes) != kBridgeIntCsrOffset)
        return;
    const std::uint32_t on = value & ~old;
    if (on & 0x49u) {
        note->then().add(notes::kInterruptsEnabled);
        if (on & 0x01u)
            note->add(notes::kLocalInput1);
        if (on & 0x08u)
            note->add(notes::kLocalInput2);
        if (on & 0x40u)
            note->add(notes::kPci);
    }
}

}  // namespace korvic::sim
