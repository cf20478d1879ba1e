#include "clock.h"

#include <time.h>

#include <algorithm>

namespace korvic::sim {
namespace {

std::int64_t read_us(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

// `us` scaled by parts per billion, held at the limits of 64 bits.
std::int64_t scaled(std::int64_t us, std::int64_t ppb) {
    const __int128 v = static_cast<__int128>(us) * ppb / 1'000'000'000;
    return v > INT64_MAX ? INT64_MAX : v < INT64_MIN ? INT64_MIN : static_cast<std::int64_t>(v);
}

}  // namespace

std::int64_t RealClock::now_us() {
    return read_us(CLOCK_REALTIME);
}

std::int64_t monotonic_us() {
    return read_us(CLOCK_MONOTONIC);
}

std::int64_t clock_error_us(std::int64_t drift_ppb, std::span<const ClockEvent> events,
                            std::int64_t elapsed_us) {
    std::int64_t error = elapsed_us > 0 ? scaled(elapsed_us, drift_ppb) : 0;
    for (const ClockEvent &e : events) {
        if (elapsed_us < e.at_us)
            break;
        if (e.kind == ClockEvent::Kind::Jump) {
            error = saturating_add(error, e.value_us);
        } else {
            const std::int64_t end = saturating_add(e.at_us, e.value_us);
            const std::int64_t stood = std::min(elapsed_us, end) - e.at_us;
            error = saturating_sub(error, saturating_add(stood, scaled(stood, drift_ppb)));
        }
    }
    return error;
}

std::int64_t BoardClock::elapsed_us() {
    return elapsed_at(timeline_ == Timeline::Host ? 0 : source_->now_us());
}

std::int64_t BoardClock::elapsed_at(std::int64_t source_us) const {
    const std::int64_t now = timeline_ == Timeline::Host ? monotonic_us() : source_us;
    return saturating_sub(now, origin_);
}

std::int64_t BoardClock::now_us() {
    const std::int64_t source = source_->now_us();
    return saturating_add(saturating_add(source, faults_.offset_us),
                          clock_error_us(faults_.drift_ppb, faults_.events, elapsed_at(source)));
}

}  // namespace korvic::sim
