// The signals that would end romup-fleet, and the end of its children. Every
// terminating signal that can be caught is caught, and all of them are kept
// blocked but while the fleet waits in fleet_wait: a signal is taken there,
// between two steps of the fleet, and never by a child, which starts with
// them at their default action and none blocked. What each means is the
// fleet's to decide where it takes it: before the answer an interrupt
// declines every run; once a modem may be half written nothing ends the
// fleet. SIGCHLD is caught too, so that a child's end wakes the wait.
#pragma once

#include <csignal>
#include <poll.h>

// Blocks SIGXFSZ, before the fleet writes a file: a write past the file-size
// limit (an image's private copy, the report, a log) then fails with EFBIG,
// and is said as an error, instead of ending the fleet at once.
void hold_file_size_signal();

// Catches and blocks them. False when the mask cannot be set.
bool catch_fleet_signals();

// The caught signals, for a child to start with at their default.
const sigset_t& fleet_signal_set();

// ppoll over fds with the caught signals let through, for up to timeout_ms
// (-1: no limit). Its result: -1 with EINTR when a signal came.
int fleet_wait(pollfd* fds, nfds_t count, int timeout_ms);

// The next signal caught since the last call, lowest number first; 0 when
// none is left. SIGCHLD is not among them.
int take_fleet_signal();

// Whether a signal has been caught and not yet taken (SIGCHLD among them): a
// wait that begins now must not block.
bool fleet_signal_waiting();

// Whether the signal asks the fleet to stop: an interrupt, a termination, a
// hang-up or a quit. The others that were caught (a full pipe, a file past its
// size limit, a user's signal) change nothing.
bool asks_to_stop(int signal_number);
