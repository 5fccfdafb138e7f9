#include "line/port.h"

#include "line/clock.h"
#include "line/held_signals.h"
#include "line/low_latency.h"
#include "line/port_holders.h"
#include "line/wait.h"
#include "run/state.h"
#include "texts/line_speeds.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <iterator>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

int port_fd = -1;

namespace {

// The port's speed for each of listed_rates, in the same order.
constexpr speed_t speed_constants[] = {B300,  B600,   B1200,  B2400,  B4800,
                                       B9600, B19200, B38400, B57600, B115200};
static_assert(std::size(speed_constants) == std::size(listed_rates));

// Looks at what romup wrote and the port has still to send until it has
// gone. Returns true when some is still queued once the queue has not shrunk
// for 100 ms and two bytes' time on the wire (held back by flow control,
// say); false once the port holds none, or when it cannot tell (a
// pseudo-terminal holds none).
bool output_stuck() {
#if defined(TIOCOUTQ)
    int queued = 0;
    if (ioctl(port_fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
        return false;
    }
    // A serial port sends a byte every byte time; a USB adapter takes a
    // packet every millisecond or so.
    const std::int64_t patience = clock_span_us(100000) + wire_time_us(2);
    int least = queued;
    std::int64_t shrunk_at = wait_clock_us();
    for (;;) {
        wait_idle(shrunk_at + patience);
        if (ioctl(port_fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
            return false;
        }
        const std::int64_t now = wait_clock_us();
        if (queued < least) {
            least = queued;
            shrunk_at = now;
        } else if (now >= shrunk_at + patience) {
            return true;
        }
    }
#else
    return false;
#endif
}

// Whether fd is on romup's own terminal: its controlling terminal, also when
// named /dev/tty, or the terminal of its standard input, output or error. That
// is the operator's screen and keyboard, not a modem. Neither the lock nor the
// holder scan tells: /dev/tty is a device of its own (5:0), which no other
// process need hold.
bool own_terminal(int fd) {
    // A terminal tells its session only to the processes whose controlling
    // terminal it is.
    const pid_t session = tcgetsid(fd);
    if (session != -1 && session == getsid(0)) {
        return true;
    }
    struct stat port {};
    if (fstat(fd, &port) != 0) {
        return false;
    }
    for (int standard = 0; standard <= 2; ++standard) {
        struct stat other {};
        if (isatty(standard) != 0 && fstat(standard, &other) == 0 &&
            other.st_rdev == port.st_rdev) {
            return true;
        }
    }
    return false;
}

} // namespace

speed_t speed_for_rate(std::int32_t rate) {
    return speed_constants[rate_index(rate)];
}

std::int64_t wire_time_us(std::size_t count) {
    const std::int64_t bits = static_cast<std::int64_t>(count) * 10;
    return clock_span_us(bits * 1000000 / listed_rate(line_speed));
}

int port_open() {
    // O_NONBLOCK: the open does not wait for carrier, and every read returns
    // at once; the exchange primitives do their waiting (line/wait.h).
    port_fd = open(port_name, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (port_fd == -1) {
        return 0;
    }
    // A path that is no terminal (the firmware named by mistake, /dev/null, a
    // FIFO), or romup's own terminal, would get the modem's commands written
    // into it.
    if (isatty(port_fd) == 0 || own_terminal(port_fd)) {
        close(port_fd);
        port_fd = -1;
        return 0;
    }
    // Terminal programs and serial libraries take this advisory lock on the
    // devices they use; a program that shares the port reads part of the
    // modem's answers. Any other failure of the lock leaves the port usable.
    if (flock(port_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        close(port_fd);
        port_fd = -1;
        return port_in_use;
    }
    // Before anything is written, as for a lock held.
    if (port_held_elsewhere(port_fd)) {
        flock(port_fd, LOCK_UN);
        close(port_fd);
        port_fd = -1;
        return port_in_use;
    }

    termios settings{};
    if (tcgetattr(port_fd, &settings) != 0) {
        settings = termios{};
    }
    settings.c_iflag = IGNBRK | IGNPAR;
    settings.c_oflag = 0;
    // Linux and the BSDs have one flag for both directions of hardware flow
    // control.
    settings.c_cflag = CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
    settings.c_lflag = NOFLSH;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    const speed_t speed = speed_for_rate(line_speed);
    cfsetospeed(&settings, speed);
    cfsetispeed(&settings, speed);
    tcsetattr(port_fd, TCSANOW, &settings);
    low_latency_request();

    hold_off_signals();
    // The banner may still sit in the buffer when output is a file or a pipe.
    std::fflush(stdout);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return 1;
}

int port_close() {
    low_latency_restore();
    // Output stuck behind flow control (CTS low on a cable without RTS/CTS)
    // would hold the close for the driver's closing wait, 30 s, with Ctrl-C
    // ignored. What still leaves the port is let go: the modem may be waiting
    // for it.
    if (output_stuck()) {
        tcflush(port_fd, TCOFLUSH);
    }
    flock(port_fd, LOCK_UN);
    close(port_fd);
    release_signals();
    return 1;
}
