// The test build's clocks: processor time and the monotonic clock, both
// twenty times faster, so that the 2 s reply limit lasts 100 ms and every
// pause, polled or slept, a twentieth of its length. Time on the wire keeps
// its real length: a paced line is no faster in a test.
#include "line/clock.h"

#include <ctime>

namespace {

constexpr std::int64_t speed_up = 20;

std::int64_t fast_reading(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return (static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000) * speed_up;
}

} // namespace

std::int64_t clock_us() {
    return fast_reading(CLOCK_PROCESS_CPUTIME_ID);
}

std::int64_t monotonic_us() {
    return fast_reading(CLOCK_MONOTONIC);
}

std::int64_t clock_span_us(std::int64_t real_us) {
    return real_us * speed_up;
}

std::int64_t real_span_us(std::int64_t span_us) {
    return span_us / speed_up;
}
