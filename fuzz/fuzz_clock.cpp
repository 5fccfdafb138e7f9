// The fuzz build's clocks count their own readings, each worth 50 ms, instead
// of measuring time: a missing acknowledgement then ends after 40 polls of
// the port rather than 2 s, and an input takes the same path each time it is
// replayed, however loaded the machine.
#include "line/clock.h"

namespace {

std::int64_t readings_us = 0;

} // namespace

std::int64_t clock_us() {
    readings_us += 50000;
    return readings_us;
}

// The same count: a wait that sleeps ends after as many readings.
std::int64_t monotonic_us() {
    return clock_us();
}

// No time on the wire: a missing acknowledgement costs its 40 polls however
// slow the line the input asks for.
std::int64_t clock_span_us(std::int64_t) {
    return 0;
}

// A wait that sleeps never sleeps here: its readings pass the time.
std::int64_t real_span_us(std::int64_t) {
    return 0;
}
