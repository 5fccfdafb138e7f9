// The test build's clocks, faster than the real ones so that the suite stays
// fast. Processor time runs twenty times faster: the 2 s reply limit lasts
// 100 ms of romup's own processor time, which a busy host stretches along with
// everything else. The monotonic clock of -w, which nothing stretches, runs
// five times faster: the limit lasts 400 ms of real time, long enough for a
// simulated modem on a loaded host, whose answer may wait a tenth of a second
// and more for a processor. Every pause, polled or slept, keeps the same share
// of its length. Time on the wire keeps its real length: a paced line is no
// faster in a test.
#include "line/clock.h"
#include "run/state.h"

#include <ctime>

namespace {

constexpr std::int64_t processor_speed_up = 20;
constexpr std::int64_t monotonic_speed_up = 5;

// The speed-up of the clock the line's waits count (line/wait.h).
std::int64_t wait_speed_up() {
    return sleeping_waits ? monotonic_speed_up : processor_speed_up;
}

std::int64_t fast_reading(clockid_t clock, std::int64_t speed_up) {
    timespec now{};
    clock_gettime(clock, &now);
    return (static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000) * speed_up;
}

} // namespace

std::int64_t clock_us() {
    return fast_reading(CLOCK_PROCESS_CPUTIME_ID, processor_speed_up);
}

std::int64_t monotonic_us() {
    return fast_reading(CLOCK_MONOTONIC, monotonic_speed_up);
}

std::int64_t clock_span_us(std::int64_t real_us) {
    return real_us * wait_speed_up();
}

std::int64_t real_span_us(std::int64_t span_us) {
    return span_us / wait_speed_up();
}
