#include "board.h"

namespace korvic::sim {

// ---------------------------------------------------------------------------------------
// BCD layouts.
// ---------------------------------------------------------------------------------------

namespace {

const DigitPlace &place_of(Digit d) {
    return kDigitPlaces[static_cast<std::size_t>(d)];
}

// The value of one digit of `f` (or of the 4-bit extra).
std::uint32_t digit_of(Digit d, const BoardFields &f, std::uint32_t extra) {
    if (d == Digit::Extra)
        return extra & 0xF;
    const DigitPlace &p = place_of(d);
    if (p.field == nullptr)
        return 0;
    const std::int32_t v = f.*p.field;
    return (static_cast<std::uint32_t>(v < 0 ? 0 : v) / static_cast<std::uint32_t>(p.weight)) % 10;
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

BoardFields decode_layout(const Layout &layout, const std::uint32_t *words, int count,
                          std::uint32_t *extra) {
    BoardFields out{0, 0, 0, 0, 0, 0, 0};
    const auto add = [&](Digit d, std::uint32_t nibble) {
        if (d == Digit::Extra && extra != nullptr)
            *extra = nibble;
        const DigitPlace &p = place_of(d);
        if (p.field != nullptr)
            out.*p.field += static_cast<std::int32_t>(nibble) * p.weight;
    };
    for (int w = 0; w < count; ++w) {
        for (int b = 0; b < 4; ++b) {
            const ByteDigits &bd =
                layout[static_cast<std::size_t>(w) * 4 + static_cast<std::size_t>(b)];
            const std::uint32_t byte = (words[w] >> (24 - 8 * b)) & 0xFF;
            add(bd.hi, byte >> 4);
            add(bd.lo, byte & 0xF);
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
    const BoardFields &t = c.time;
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

std::optional<std::int64_t> next_compare_crossing(const CompareSetting &c, std::int64_t after) {
    static constexpr std::int64_t kPeriod[6] = {365 * kUsPerDay, kUsPerDay,    kUsPerHour,
                                                kUsPerMinute,    kUsPerSecond, kUsPerMs};
    if (c.mask > 5)
        return std::nullopt;
    // Two crossings are at least a period apart (a common year for mask 0), so a window of
    // one period holds at most one; a yearly one on day 365 may be eight years away.
    const std::int64_t period = kPeriod[c.mask];
    for (int window = 0; window < (c.mask == 0 ? 12 : 1); ++window) {
        const std::int64_t from = saturating_add(after, window * period);
        if (const auto at = compare_crossing(c, from, saturating_add(from, period)))
            return at;
    }
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

Board::Board(Clock &clock, BoardOptions options)
    : clock_(&clock), options_(options), own_(std::make_unique<BoardState>()), s_(own_.get()) {
    power_up();
}

Board::Board(Clock &clock, BoardOptions options, BoardState &state, PowerUp power_up_now)
    : clock_(&clock), options_(options), s_(&state) {
    if (power_up_now == PowerUp::Yes)
        power_up();
}

void Board::power_up() {
    s_->base_clock = clock_->origin_us();
    s_->base_board = options_.start_us.value_or(s_->base_clock);
    s_->frozen = s_->base_board;
    s_->last_eval = s_->base_board;
    s_->position_ref = s_->base_board;
    latch_snapshot(s_->base_board, nullptr);
}

std::int64_t Board::time_us() const {
    if (!s_->running)
        return s_->frozen;
    return clamp_board_time(
        saturating_add(s_->base_board, saturating_sub(clock_->now_us(), s_->base_clock)));
}

std::uint32_t Board::to_bus(std::uint32_t v) const {
    return options_.bus_order == BusOrder::Swapped ? reverse_bytes(v) : v;
}

std::uint32_t Board::status_bits(std::uint32_t *forced) const {
    std::uint32_t s = kStatusReferenceLocked;
    if (s_->running)
        s |= kStatusTimerRunning;
    if (s_->time_set)
        s |= kStatusTimeSet;
    if (s_->external_pending)
        s |= kStatusExternalEvent;
    if (s_->compare_flag)
        s |= kStatusCompareEvent;
    std::uint32_t mask = 0;
    if (!options_.status_faults.empty()) {
        const std::int64_t moment = clock_->moment_us();
        for (const StatusFault &f : options_.status_faults) {
            if (moment < f.at_us || saturating_sub(moment, f.at_us) >= f.for_us)
                continue;
            const std::uint32_t bit = 1u << f.bit;
            s = f.value ? s | bit : s & ~bit;
            mask |= bit;
        }
    }
    if (forced != nullptr)
        *forced = mask;
    return s;
}

BoardFields Board::shown(std::int64_t t) const {
    const std::optional<LeapSecond> &leap = options_.leap;
    if (leap && !s_->leap_played && leap->kind == LeapSecond::Kind::Insert &&
        leap->show == LeapSecond::Show::Sixty && t >= leap->at_us &&
        t - leap->at_us < kUsPerSecond) {
        // The second after hh:mm:59 of the minute before the leap, shown as its 60th.
        BoardFields f = from_us(leap->at_us - kUsPerSecond);
        const std::int64_t into = t - leap->at_us;
        f.second = 60;
        f.millisecond = static_cast<std::int32_t>(into / kUsPerMs);
        f.microsecond = static_cast<std::int32_t>(into % kUsPerMs);
        return f;
    }
    return from_us(t);
}

std::int64_t Board::play_leap(std::int64_t now, Note *note) {
    if (!options_.leap || s_->leap_played)
        return now;
    const LeapSecond &leap = *options_.leap;
    const bool insert = leap.kind == LeapSecond::Kind::Insert;
    // The count of the board's oscillator at which its time moves by the second: once the
    // 60 has been shown, at the minute for a repeated 59, at the 59 that is skipped.
    const std::int64_t turn = !insert                                ? leap.at_us - kUsPerSecond
                              : leap.show == LeapSecond::Show::Sixty ? leap.at_us + kUsPerSecond
                                                                     : leap.at_us;
    // Only a board that runs across it plays it: a preset beyond it is a jump.
    if (s_->last_eval >= turn || now < turn)
        return now;
    const std::int64_t shift = insert ? -kUsPerSecond : kUsPerSecond;
    if (s_->running)
        s_->base_board = saturating_add(s_->base_board, shift);
    else
        s_->frozen = saturating_add(s_->frozen, shift);
    s_->leap_played = true;
    if (note != nullptr)
        note->then().add(insert ? notes::kLeapInserted : notes::kLeapDeleted).time(leap.at_us);
    return time_us();
}

std::uint32_t Board::status_nibble() const {
    return (s_->running ? 8u : 0u) | (s_->time_set ? 4u : 0u) | (s_->compare_flag ? 2u : 0u) |
           (s_->external_pending ? 1u : 0u);
}

std::int64_t Board::begin_access(Note *note) {
    clock_->on_access();
    ++s_->accesses;
    const std::int64_t now = play_leap(time_us(), note);
    happen_until(now, note);
    return now;
}

void Board::settle() {
    happen_until(play_leap(time_us(), nullptr), nullptr);
}

std::optional<std::int64_t> Board::next_event_us() const {
    if (!s_->running)
        return std::nullopt;
    std::optional<std::int64_t> next;
    const std::int64_t after = s_->last_eval;
    if (const std::int64_t period = options_.external_event_period_us; period > 0)
        next = saturating_add(floor_div(after, period) * period, period);
    if (!s_->compare_flag) {
        CompareSetting c;
        c.time = decode_layout(kCompareLayout, s_->compare, 2, &c.mask);
        if (const auto at = next_compare_crossing(c, after); at && (!next || *at < *next))
            next = at;
    }
    return next;
}

void Board::happen_until(std::int64_t now, Note *note) {
    // The events of this access happen in time order, so that the external event register
    // ends up holding the latest capture: the compare crossing and the periodic event lie
    // between the last access and now, a requested event happens now.
    std::optional<std::int64_t> compare_at, periodic_at;
    if (now > s_->last_eval) {
        CompareSetting c;
        c.time = decode_layout(kCompareLayout, s_->compare, 2, &c.mask);
        compare_at = compare_crossing(c, s_->last_eval, now);
        const std::int64_t period = options_.external_event_period_us;
        if (period > 0) {
            const std::int64_t at = floor_div(now, period) * period;
            if (at > s_->last_eval)
                periodic_at = at;
        }
        s_->last_eval = now;
    }
    const bool requested = s_->external_request.exchange(false, std::memory_order_relaxed);
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
}

void Board::raise_compare(std::int64_t at, Note *note) {
    s_->compare_flag = true;
    if (note != nullptr)
        note->then().add(notes::kCompareRaised).time(at);
}

void Board::latch_snapshot(std::int64_t now, Note *note) {
    const BoardFields f = shown(now);
    encode_layout(kTimeStatusLayout, f, status_nibble(), s_->latched_time, 3);
    if (note != nullptr)
        note->then().add(notes::kSnapshot).fields(f);
}

void Board::freeze_position(std::int64_t now, Note *note) {
    // The position counter: the preset position, its last word advanced by the milliseconds
    // of board time since the preset position was written (modulo 2^32).
    const auto elapsed_ms =
        static_cast<std::uint64_t>(floor_div(saturating_sub(now, s_->position_ref), kUsPerMs));
    for (int i = 0; i < 3; ++i)
        s_->frozen_position[i] = s_->preset_position[i];
    s_->frozen_position[3] = s_->preset_position[3] + static_cast<std::uint32_t>(elapsed_ms);
    if (note != nullptr)
        note->then().add(notes::kPositionFreeze).hex(s_->frozen_position[3]);
}

void Board::capture_external(std::int64_t at, Note *note) {
    s_->external_count = (s_->external_count + 1) & 0xF;
    const BoardFields f = shown(at);
    encode_layout(kExternalEventLayout, f, s_->external_count, s_->external, 3);
    s_->external_pending = true;
    if (note != nullptr)
        note->then().add(notes::kExternalCaptured).fields(f);
}

void Board::set_time(std::int64_t t) {
    if (s_->running) {
        s_->base_board = t;
        s_->base_clock = clock_->now_us();
    } else {
        s_->frozen = t;
    }
    // A preset is a jump, not a passage of time: nothing between is crossed.
    s_->last_eval = t;
}

void Board::write_config(std::uint32_t value, std::int64_t now, Note *note) {
    const std::uint32_t old = s_->config;
    s_->config = value & ~kConfigPresetLoad;  // the load bit clears itself
    if ((old ^ value) & kConfigTimerStop) {
        if (value & kConfigTimerStop) {
            s_->frozen = now;
            s_->running = false;
            if (note != nullptr)
                note->then().add(notes::kTimerStopped).time(now);
        } else {
            s_->base_board = s_->frozen;
            s_->base_clock = clock_->now_us();
            s_->running = true;
            s_->last_eval = s_->frozen;
            if (note != nullptr)
                note->then().add(notes::kTimerStarted).time(s_->frozen);
        }
    }
    if (value & kConfigPresetLoad) {
        // The preset layout has no microsecond digits: they decode as 0.
        const std::int64_t t = to_us(decode_layout(kPresetTimeLayout, s_->preset_time, 3));
        set_time(t);
        s_->time_set = true;
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
            return s_->hw_control;
        case BoardReg::TimeStatus:
            return w == 0 ? (s_->latched_time[0] & 0xFFFF0000u) | status_bits()
                          : s_->latched_time[w];
        case BoardReg::PositionFreeze:
            return s_->frozen_position[w];
        case BoardReg::Config:
            return s_->config;
        case BoardReg::Diagnostic:
            return kDiagnosticValue;
        case BoardReg::LocalOffset:
            return s_->local_offset;
        case BoardReg::SyncOffset:
            return s_->sync_offset;
        case BoardReg::Compare:
            return s_->compare[w];
        case BoardReg::PresetTime:
            return s_->preset_time[w];
        case BoardReg::PresetPosition:
            return s_->preset_position[w];
        case BoardReg::ExternalEvent:
            return s_->external[w];
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
        s_->external_pending = false;  // reading the event acknowledges it
    }
    if (note != nullptr && r != nullptr && r->id == BoardReg::TimeStatus && w == 0) {
        note->then().add(notes::kStatus);
        if (s_->running)
            note->add(notes::kStatusRunning);
        else
            note->add(notes::kStatusStopped);
        if (s_->time_set)
            note->add(notes::kStatusTimeSet);
        if (s_->compare_flag)
            note->add(notes::kStatusCompare);
        if (s_->external_pending)
            note->add(notes::kStatusExternal);
        std::uint32_t forced = 0;
        const std::uint32_t bits = status_bits(&forced);
        if (forced != 0)
            note->add(notes::kStatusForced);
        for (const unsigned bit : kForcibleStatusBits)
            if ((forced >> bit & 1u) != 0)
                note->add(' ').dec(bit).add('=').dec((bits >> bit) & 1u);
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
                s_->compare_flag = false;
                if (note != nullptr)
                    note->then().add(notes::kCompareCleared);
            }
            s_->hw_control = value & ~kHwCtlCompareClear;  // the clear bit clears itself
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
            s_->local_offset = value;
            break;
        case BoardReg::SyncOffset:
            s_->sync_offset = value;
            break;
        case BoardReg::Compare:
            s_->compare[w] = value;
            if (note != nullptr && w == 1) {
                std::uint32_t mask = 0;
                const BoardFields f = decode_layout(kCompareLayout, s_->compare, 2, &mask);
                note->then().add(notes::kCompareAt).dec(f.yday, 3).add(' ');
                note->dec(f.hour, 2).add(':').dec(f.minute, 2).add(':').dec(f.second, 2);
                note->add('.').dec(f.millisecond, 3).dec(f.microsecond, 3);
                note->add(notes::kCompareMask).dec(mask).add(" (").add(compare_mask_meaning(mask));
                note->add(')');
            }
            break;
        case BoardReg::PresetTime:
            s_->preset_time[w] = value;
            break;
        case BoardReg::PresetPosition:
            s_->preset_position[w] = value;
            s_->position_ref = now;
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
    return s_->words[(offset % kBridgeWindowBytes) / 4];
}

void Bridge::write(std::uint32_t offset, std::uint32_t value, Note *note) {
    const std::uint32_t old = s_->words[(offset % kBridgeWindowBytes) / 4];
    s_->words[(offset % kBridgeWindowBytes) / 4] = value;
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
