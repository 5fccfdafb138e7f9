// The test build's clock: processor time running twenty times faster, so that
// the 2 s reply limit lasts 100 ms and every pause a twentieth of its length.
// Only the test programs link it; romup itself has the real one. Time on the
// wire keeps its real length: a paced line is no faster in a test.
#include "line/clock.h"

#include <ctime>

std::int64_t clock_us() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000) * 20;
}

std::int64_t clock_span_us(std::int64_t real_us) {
    return real_us * 20;
}
