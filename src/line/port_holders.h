// Who else has the port open. The advisory lock keeps out the programs that
// take it; a terminal program, cat, a getty or a daemon that does not would
// read part of the modem's answers. The process table shows them: every
// descriptor of a process romup may inspect (its user's, or all as root),
// compared by device number, so that a path through /dev/serial/by-id
// counts. Programs on other hosts, and other users' processes, stay unseen.
#pragma once

// Whether a process other than this one has the device open on which fd is
// open, the line's peer excepted: a process that holds the master of the
// same pseudo-terminal (a /dev/ptmx descriptor whose fdinfo reads tty-index
// N for /dev/pts/N) is the far end of the line, also when it holds the
// device itself. Processes that cannot be inspected are passed over.
bool port_held_elsewhere(int fd);

// Whether a process named ModemManager runs while the udev database has a
// record of the device fd is open on that does not hold ID_MM_DEVICE_IGNORE=1: the daemon
// probes such a device with AT commands of its own. A device udev does not
// know (a pseudo-terminal) is none it probes.
bool modem_manager_may_probe(int fd);
