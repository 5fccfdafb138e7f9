// A clock that stands still, for the test of a very large upload: a write
// that stalls waits for as long as the peer takes to read, however busy the
// machine, and never gives up (the test's own deadline catches a hang).
#include "line/clock.h"

std::int64_t clock_us() {
    return 0;
}

// No wait here ends by the clock: time on the wire changes nothing.
std::int64_t clock_span_us(std::int64_t /*real_us*/) {
    return 0;
}
