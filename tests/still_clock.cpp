// Clocks that stand still, for the test of a very large upload: a write
// that stalls waits for as long as the peer takes to read, however busy the
// machine, and never gives up (the test's own deadline catches a hang).
#include "line/clock.h"

std::int64_t clock_us() {
    return 0;
}

std::int64_t monotonic_us() {
    return 0;
}

// No wait here ends by the clock: time on the wire changes nothing.
std::int64_t clock_span_us(std::int64_t /*real_us*/) {
    return 0;
}

// A wait that sleeps looks at the port again after each span of its limit,
// however often its deadline fails to come.
std::int64_t real_span_us(std::int64_t span_us) {
    return span_us;
}
