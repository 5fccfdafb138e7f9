// serial-state PORT: prints, on one line, what the serial driver reports of
// PORT while another program uses it: the low-latency flag, the modem-control
// lines and the settings romup asks for. Built statically by scripts/check-uart
// and run inside its virtual machine, next to romup.
#include <cstdio>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The rates romup sets, in bit/s; 0 for any other.
unsigned rate_of(speed_t speed) {
    switch (speed) {
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B115200:
        return 115200;
    default:
        return 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: serial-state PORT\n", stderr);
        return 2;
    }
    // Non-blocking: the open must not wait for carrier.
    const int fd = open(argv[1], O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    serial_struct info{};
    int lines = 0;
    termios settings{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0 || ioctl(fd, TIOCMGET, &lines) != 0 ||
        tcgetattr(fd, &settings) != 0) {
        std::perror(argv[1]);
        close(fd);
        return 1;
    }
    const tcflag_t wanted = CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
    std::printf("low_latency=%d rts=%d dtr=%d cts=%d settings=%d speed=%u\n",
                (info.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0 ? 1 : 0,
                (lines & TIOCM_RTS) != 0 ? 1 : 0, (lines & TIOCM_DTR) != 0 ? 1 : 0,
                (lines & TIOCM_CTS) != 0 ? 1 : 0,
                (settings.c_cflag & (wanted | PARENB | CSTOPB | CSIZE)) == wanted &&
                        settings.c_iflag == (IGNBRK | IGNPAR) && settings.c_oflag == 0 &&
                        settings.c_cc[VMIN] == 0 && settings.c_cc[VTIME] == 0
                    ? 1
                    : 0,
                rate_of(cfgetospeed(&settings)));
    close(fd);
    return 0;
}
