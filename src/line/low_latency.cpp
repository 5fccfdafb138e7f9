#include "line/low_latency.h"

#include "line/port.h"

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

// Set by low_latency_request once the driver took the flag from romup, so
// that a flag the operator had set already stays set.
bool flag_set_here = false;

} // namespace

#if defined(__linux__)

void low_latency_request() {
    flag_set_here = false;
    serial_struct info{};
    if (ioctl(port_fd, TIOCGSERIAL, &info) != 0 ||
        (info.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0) {
        return;
    }
    info.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
    flag_set_here = ioctl(port_fd, TIOCSSERIAL, &info) == 0;
}

void low_latency_restore() {
    if (!flag_set_here) {
        return;
    }
    flag_set_here = false;
    serial_struct info{};
    if (ioctl(port_fd, TIOCGSERIAL, &info) != 0) {
        return;
    }
    info.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
    ioctl(port_fd, TIOCSSERIAL, &info);
}

#else

// Other systems have no such request; their adapters' drivers pick the timer.
void low_latency_request() {
    flag_set_here = false;
}

void low_latency_restore() {}

#endif
