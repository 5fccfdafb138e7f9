// A serial driver as far as romup's serial-information requests go, which a
// pseudo-terminal refuses, preloaded into romup (LD_PRELOAD) by the tests: it
// answers TIOCGSERIAL and TIOCSSERIAL on any descriptor as a driver would, and
// TIOCOUTQ (a pseudo-terminal's reports nothing queued) as for a port whose
// output is stuck or leaving; and logs every serial request, every tcflush
// and the port's close, one line each.
//
// ROMUP_SERIAL_LOG   the log file (appended to)
// ROMUP_SERIAL_MODE  how the driver behaves:
//   clear    the flag starts clear; every request is taken
//   set      the flag starts set (the operator set it)
//   enotty   TIOCGSERIAL fails with ENOTTY (no serial driver)
//   einval   TIOCGSERIAL fails with EINVAL
//   eperm    TIOCSSERIAL fails with EPERM
// ROMUP_SERIAL_OUTPUT what TIOCOUTQ reports:
//   stuck    20 bytes, every time (flow control holds them)
//   leaving  20 bytes, one fewer at each request, down to 0
//   (unset)  what the device itself reports
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

int port = -1;        // the descriptor the serial requests came on
int flags_state = -1; // the driver's flags; -1 until the first request
int output_queued = 20;

bool setting_is(const char* variable, const char* value) {
    const char* setting = std::getenv(variable);
    return setting != nullptr && std::strcmp(setting, value) == 0;
}

bool mode_is(const char* name) {
    return setting_is("ROMUP_SERIAL_MODE", name);
}

void log_line(const char* text) {
    const char* path = std::getenv("ROMUP_SERIAL_LOG");
    if (std::FILE* log = path != nullptr ? std::fopen(path, "a") : nullptr; log != nullptr) {
        std::fprintf(log, "%s\n", text);
        std::fclose(log);
    }
}

int serial_request(int fd, unsigned long request, serial_struct* info) {
    port = fd;
    if (flags_state == -1) {
        flags_state = mode_is("set") ? static_cast<int>(ASYNC_LOW_LATENCY) : 0;
    }
    const bool low = (flags_state & static_cast<int>(ASYNC_LOW_LATENCY)) != 0;
    if (request == TIOCGSERIAL) {
        if (mode_is("enotty") || mode_is("einval")) {
            log_line("get refused");
            errno = mode_is("enotty") ? ENOTTY : EINVAL;
            return -1;
        }
        log_line(low ? "get low_latency" : "get");
        std::memset(info, 0, sizeof *info);
        info->type = PORT_16550A;
        info->line = 1;
        info->baud_base = 115200;
        info->close_delay = 50;
        info->closing_wait = 3000;
        info->flags = flags_state;
        return 0;
    }
    const bool wanted = (info->flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0;
    // A request that changes anything but the flag would be a fault of romup's.
    if (info->type != PORT_16550A || info->baud_base != 115200 || info->closing_wait != 3000 ||
        (info->flags & ~static_cast<int>(ASYNC_LOW_LATENCY)) !=
            (flags_state & ~static_cast<int>(ASYNC_LOW_LATENCY))) {
        log_line("set with other fields changed");
    }
    if (mode_is("eperm")) {
        log_line(wanted ? "set low_latency refused" : "set refused");
        errno = EPERM;
        return -1;
    }
    log_line(wanted ? "set low_latency" : "set");
    flags_state = info->flags;
    return 0;
}

} // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
        return serial_request(fd, request, static_cast<serial_struct*>(argument));
    }
    const bool leaving = setting_is("ROMUP_SERIAL_OUTPUT", "leaving");
    if (request == TIOCOUTQ && fd == port &&
        (leaving || setting_is("ROMUP_SERIAL_OUTPUT", "stuck"))) {
        *static_cast<int*>(argument) = output_queued;
        output_queued -= leaving && output_queued > 0 ? 1 : 0;
        return 0;
    }
    static auto next =
        reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, argument);
}

int tcflush(int fd, int queue) {
    if (fd == port) {
        log_line(queue == TCOFLUSH ? "flush output" : "flush other");
    }
    static auto next = reinterpret_cast<int (*)(int, int)>(dlsym(RTLD_NEXT, "tcflush"));
    return next(fd, queue);
}

int close(int fd) {
    if (fd == port && port != -1) {
        log_line("close");
        port = -1;
    }
    static auto next = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
    return next(fd);
}
}
