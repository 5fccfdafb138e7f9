// serial-state PORT: prints, on one line, what the serial driver reports of
// PORT while another program uses it: the low-latency flag, the modem-control
// lines and the settings romup asks for. Built statically (the static preset)
// and run by scripts/check-uart inside its virtual machine, next to romup.
#include <cstdio>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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
    const speed_t speed = cfgetospeed(&settings);
    const tcflag_t wanted = CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
    // Each flag 1 or 0 (a bool passes as an int); speed one of the rates romup
    // sets, in bit/s, or 0.
    std::printf("low_latency=%d rts=%d dtr=%d cts=%d settings=%d speed=%u\n",
                (info.flags & static_cast<int>(ASYNC_LOW_LATENCY)) != 0, (lines & TIOCM_RTS) != 0,
                (lines & TIOCM_DTR) != 0, (lines & TIOCM_CTS) != 0,
                (settings.c_cflag & (wanted | PARENB | CSTOPB | CSIZE)) == wanted &&
                    settings.c_iflag == (IGNBRK | IGNPAR) && settings.c_oflag == 0 &&
                    settings.c_cc[VMIN] == 0 && settings.c_cc[VTIME] == 0,
                speed == B9600     ? 9600u
                : speed == B19200  ? 19200u
                : speed == B115200 ? 115200u
                                   : 0u);
    close(fd);
    return 0;
}
