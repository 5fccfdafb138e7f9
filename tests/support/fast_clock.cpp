// The test build's clock: processor time running twenty times faster, so that
// the 2 s reply limit lasts 100 ms and every pause a twentieth of its length.
// Only the test programs link it; romup itself has the real one.
#include "line/clock.h"

#include <ctime>

std::int64_t clock_us() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return (static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000) * 20;
}
