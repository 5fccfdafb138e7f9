#include "pseudo_terminal.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

bool sim_open_pty(sim_pty& pty, speed_t speed) {
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CREAD | CLOCAL;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, speed);
    cfsetospeed(&raw, speed);
    char name[256] = {};
    if (openpty(&pty.master, &pty.slave, name, &raw, nullptr) != 0) {
        return false;
    }
    fcntl(pty.master, F_SETFD, FD_CLOEXEC);
    fcntl(pty.slave, F_SETFD, FD_CLOEXEC);
    pty.slave_path = name;
    return true;
}

void sim_close_pty(sim_pty& pty) {
    if (pty.master != -1) {
        close(pty.master);
    }
    if (pty.slave != -1) {
        close(pty.slave);
    }
    pty.master = pty.slave = -1;
}
