// The pseudo-terminal that stands in for a serial line: the simulated modem
// holds the master side, romup opens the slave's path as its port.
#pragma once

#include <string>
#include <termios.h>

struct sim_pty {
    int master = -1;
    int slave = -1;
    std::string slave_path;
};

// Opens a pair that is raw from its creation (no echo, no translation of line
// ends: openpty without settings gives a cooked slave that echoes and turns
// CR into LF), whose slave reads return at once (VMIN 0, VTIME 0) at speed,
// both ends closed on exec. Returns false when none can be had.
bool sim_open_pty(sim_pty& pty, speed_t speed);

// Closes whichever ends are open.
void sim_close_pty(sim_pty& pty);
