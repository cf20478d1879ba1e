/* The INTCSR decision compiled as freestanding C99, for intcsr_test.cpp to compare. */
#include "korvic_intcsr.h"

struct korvic_intcsr_decision intcsr_decide_c(uint32_t v) {
    return korvic_intcsr_decide(v);
}

struct korvic_intcsr_arming intcsr_rearm_c(uint32_t v) {
    return korvic_intcsr_rearm(v);
}

uint32_t intcsr_quiet_c(uint32_t v) {
    return korvic_intcsr_quiet(v);
}
