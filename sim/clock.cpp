#include "clock.h"

#include <time.h>

namespace korvic::sim {

std::int64_t RealClock::now_us() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return std::int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace korvic::sim
