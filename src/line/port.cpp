#include "line/port.h"

#include "line/exchange.h"
#include "line/low_latency.h"
#include "run/state.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int port_fd = -1;

namespace {

struct speed_row {
    std::int32_t rate;
    speed_t constant;
};

// In ascending order of rate.
constexpr speed_row speed_table[] = {
    {300, B300},   {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

// A dropped remote session (SIGHUP), a closed output pipe (SIGPIPE) or the
// quit key (SIGQUIT) must not end a run half-way either: a modem left with
// half a Flash does not start.
constexpr int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT};

void set_guarded_signals(void (*action)(int)) {
    for (int signal_number : guarded_signals) {
        std::signal(signal_number, action);
    }
}

const speed_row& row_for_rate(std::int32_t rate) {
    const speed_row* chosen = &speed_table[0];
    for (const speed_row& row : speed_table) {
        if (row.rate <= rate) {
            chosen = &row;
        }
    }
    return *chosen;
}

} // namespace

speed_t speed_for_rate(std::int32_t rate) {
    return row_for_rate(rate).constant;
}

std::int32_t listed_rate(std::int32_t rate) {
    return row_for_rate(rate).rate;
}

int port_open() {
    // O_NONBLOCK: the open does not wait for carrier, and every read returns
    // at once; the exchange primitives poll.
    port_fd = open(port_name, O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (port_fd == -1) {
        return 0;
    }
    // A path that is no terminal (the firmware named by mistake, /dev/null, a
    // FIFO) would get the modem's commands written into it.
    if (isatty(port_fd) == 0) {
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

    set_guarded_signals(SIG_IGN);
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
    set_guarded_signals(SIG_DFL);
    return 1;
}
