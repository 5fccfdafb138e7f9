#include "line/wait.h"

#include "line/clock.h"
#include "line/port.h"
#include "run/state.h"

#include <algorithm>
#include <climits>
#include <ctime>
#include <poll.h>

namespace {

// Sleeps for span_us of the clock, or less when a signal cuts in: the caller
// reads the clock again either way.
void sleep_for(std::int64_t span_us) {
    const std::int64_t real_us = real_span_us(span_us);
    if (real_us <= 0) {
        return;
    }
    timespec length{};
    length.tv_sec = static_cast<time_t>(real_us / 1000000);
    length.tv_nsec = static_cast<long>(real_us % 1000000 * 1000);
    clock_nanosleep(CLOCK_MONOTONIC, 0, &length, nullptr);
}

// Blocks until port reports one of its events, or until deadline.
void sleep_on_port(pollfd port, std::int64_t deadline) {
    const std::int64_t left = deadline - monotonic_us();
    if (left <= 0) {
        return;
    }
    // poll counts whole milliseconds: rounded up, so that a wait does not
    // wake just short of its deadline only to sleep once more.
    const std::int64_t ms = std::min<std::int64_t>((real_span_us(left) + 999) / 1000, INT_MAX);
    if (poll(&port, 1, static_cast<int>(ms)) == 1 &&
        (port.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        // A port whose far end has gone (a pseudo-terminal's master closed, an
        // adapter pulled out) or that fails says so at once, and for ever, and
        // may call itself readable besides, at its end: polling again would
        // spin. Nothing can arrive on it any more, so the wait lasts until its
        // deadline, as the reads of a polling wait would.
        sleep_for(deadline - monotonic_us());
    }
}

} // namespace

std::int64_t wait_clock_us() {
    return sleeping_waits ? monotonic_us() : clock_us();
}

void wait_readable(std::int64_t deadline) {
    if (sleeping_waits) {
        sleep_on_port({port_fd, POLLIN, 0}, deadline);
    }
}

void wait_writable(std::int64_t deadline) {
    if (sleeping_waits) {
        sleep_on_port({port_fd, POLLOUT, 0}, deadline);
    }
}

void wait_idle(std::int64_t deadline) {
    if (sleeping_waits) {
        sleep_for(deadline - monotonic_us());
    }
}

void wait_until(std::int64_t deadline) {
    if (!sleeping_waits) {
        while (clock_us() < deadline) {
        }
        return;
    }
    for (std::int64_t now = monotonic_us(); now < deadline; now = monotonic_us()) {
        sleep_for(deadline - now);
    }
}
