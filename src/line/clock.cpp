#include "line/clock.h"

#include <ctime>

namespace {

// Set at the first failure of the processor-time clock: every later reading
// comes from the monotonic clock, since a difference between readings of two
// clocks means nothing.
bool processor_clock_failed = false;

std::int64_t microseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

} // namespace

std::int64_t clock_us() {
    // The same processor time that std::clock reports, read without its
    // clock_t, which is 32 bits wide on some hosts and wraps after 36 minutes.
    timespec now{};
    if (processor_clock_failed || clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) {
        // std::clock reads the same clock and would return -1 for ever: every
        // wait would be endless. A wait then lasts its time in real time.
        processor_clock_failed = true;
        clock_gettime(CLOCK_MONOTONIC, &now);
    }
    return microseconds(now);
}

std::int64_t monotonic_us() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return microseconds(now);
}

std::int64_t clock_span_us(std::int64_t real_us) {
    return real_us;
}

std::int64_t real_span_us(std::int64_t span_us) {
    return span_us;
}
