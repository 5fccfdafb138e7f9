// The signals that would end romup-fleet (INT, TERM, HUP, QUIT, PIPE) are
// caught and queued on a pipe, so that the fleet's one poll loop sees them
// beside the runs' output and decides what each means at that point: before
// the answer they decline every run, after a "y" they are ignored.
#pragma once

// Catches the five signals. False when the pipe cannot be made.
bool catch_fleet_signals();

// The descriptor to poll for a caught signal.
int fleet_signal_fd();

// The next caught signal, or 0 when none is waiting.
int take_fleet_signal();
