// The real clock when the system refuses processor time, as a sandbox can:
// this program takes the place of the C library's clock_gettime and clock (a
// link seam of the test build) and denies the processor-time clock. Every
// wait of a run is measured on clock_us, so it must still advance.
#include "line/clock.h"

#include <cerrno>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Readings of the processor-time clock still to be refused; -1 for all.
int refusals_left = 0;

} // namespace

// Every other clock, and the processor-time clock when it is not refused, is
// read from the kernel.
extern "C" int clock_gettime(clockid_t clock_id, timespec* now) noexcept {
    if (clock_id == CLOCK_PROCESS_CPUTIME_ID && refusals_left != 0) {
        if (refusals_left > 0) {
            --refusals_left;
        }
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(syscall(SYS_clock_gettime, clock_id, now));
}

// The C library's clock reads the processor-time clock too, and gives -1 when
// it is refused.
extern "C" clock_t clock() noexcept {
    timespec now{};
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now) != 0) {
        return static_cast<clock_t>(-1);
    }
    return static_cast<clock_t>(now.tv_sec * CLOCKS_PER_SEC +
                                now.tv_nsec / (1000000000 / CLOCKS_PER_SEC));
}

namespace {

// Whether clock_us advances by 100 ms while the process sleeps for as long,
// as only a real-time clock does.
bool advances_asleep() {
    const std::int64_t start = clock_us();
    usleep(100000);
    return clock_us() - start >= 100000;
}

// Readings of two clocks cannot be compared: once the processor-time clock
// has failed, the clock stays on the other, even when it comes back. First
// of the tests: the fallback lasts as long as the process.
TEST(Clock, KeepsToOneClockOnceProcessorTimeFailed) {
    refusals_left = 1;
    const std::int64_t first = clock_us();
    const std::int64_t second = clock_us();
    EXPECT_EQ(refusals_left, 0);
    EXPECT_GE(second, first);
    EXPECT_LT(second - first, 1000000);
    EXPECT_TRUE(advances_asleep());
}

TEST(Clock, AdvancesWhenProcessorTimeIsRefused) {
    refusals_left = -1;
    EXPECT_TRUE(advances_asleep());
}

} // namespace
