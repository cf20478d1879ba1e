#include "clock.h"

#include <time.h>

#include <algorithm>

namespace korvic::sim {
namespace {

std::int64_t read_ns(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// `t` scaled by parts per billion, held at the limits of 64 bits.
std::int64_t scaled(std::int64_t t, std::int64_t ppb) {
    const __int128 v = static_cast<__int128>(t) * ppb / 1'000'000'000;
    return v > INT64_MAX ? INT64_MAX : v < INT64_MIN ? INT64_MIN : static_cast<std::int64_t>(v);
}

}  // namespace

std::int64_t RealClock::now_us() {
    return floor_div(realtime_ns(), 1000);
}

std::int64_t realtime_ns() {
    return read_ns(CLOCK_REALTIME);
}

std::int64_t monotonic_ns() {
    return read_ns(CLOCK_MONOTONIC);
}

HostOrigin HostOrigin::now() {
    HostOrigin o;
    o.realtime_ns = sim::realtime_ns();
    o.monotonic_ns = sim::monotonic_ns();
    return o;
}

std::int64_t clock_error(std::int64_t drift_ppb, std::span<const ClockEvent> events,
                         std::int64_t elapsed, std::int64_t per_us) {
    const auto units = [per_us](std::int64_t us) {
        std::int64_t v = 0;
        return __builtin_mul_overflow(us, per_us, &v) ? (us < 0 ? INT64_MIN : INT64_MAX) : v;
    };
    std::int64_t error = elapsed > 0 ? scaled(elapsed, drift_ppb) : 0;
    for (const ClockEvent &e : events) {
        const std::int64_t at = units(e.at_us);
        if (elapsed < at)
            break;
        if (e.kind == ClockEvent::Kind::Jump) {
            error = saturating_add(error, units(e.value_us));
        } else {
            const std::int64_t end = saturating_add(at, units(e.value_us));
            const std::int64_t stood = std::min(elapsed, end) - at;
            error = saturating_sub(error, saturating_add(stood, scaled(stood, drift_ppb)));
        }
    }
    return error;
}

std::int64_t BoardClock::now_us() {
    if (source_ != nullptr) {
        const std::int64_t source = source_->now_us();
        const std::int64_t error =
            clock_error(faults_.drift_ppb, faults_.events, saturating_sub(source, origin_us_));
        return saturating_add(saturating_add(source, faults_.offset_us), error);
    }
    const std::int64_t elapsed = monotonic_ns() - host_.monotonic_ns;
    const std::int64_t error = clock_error(faults_.drift_ppb, faults_.events, elapsed, 1000);
    const std::int64_t ns = saturating_add(host_.realtime_ns + elapsed, error);
    return saturating_add(floor_div(ns, 1000), faults_.offset_us);
}

std::int64_t BoardClock::moment_us() {
    if (source_ != nullptr)
        return saturating_sub(source_->now_us(), origin_us_);
    return floor_div(monotonic_ns() - host_.monotonic_ns, 1000);
}

std::int64_t BoardClock::origin_us() {
    const std::int64_t source =
        source_ != nullptr ? origin_us_ : floor_div(host_.realtime_ns, 1000);
    return saturating_add(source, faults_.offset_us);
}

}  // namespace korvic::sim
