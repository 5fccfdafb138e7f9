// What the operator sees. On a terminal: one line per port, rewritten in
// place (port, phase, percentage, seconds, result), each run's failure
// message and re-load hint beneath its line. To a pipe or a file: one line
// per change of phase, prefixed with the port, so that a log reads in order.
// Then the decision and the summary, the same on both.
#pragma once

#include "port_run.h"

#include <string>
#include <vector>

// Chooses the form by whether standard output is a terminal.
void screen_start();

// Whether standard output is a terminal (the in-place form is in use).
bool screen_is_terminal();

// Shows what changed. On a terminal the lines are redrawn at most ten times
// a second unless now is set.
void screen_update(std::vector<port_run>& runs, bool now);

// Leaves the port lines as they stand: what is printed next goes beneath
// them, and the next update starts a block of its own.
void screen_break();

// Once every run has asked or ended: the firmware's warnings, the ports that
// are ready with their loader's reply, those that ended with their message.
void screen_decision(const std::vector<port_run>& runs);

// The summary table, and the command that re-loads the ports left with an
// incomplete Flash ("" when none).
void screen_summary(const std::vector<port_run>& runs, const std::string& reload_command);

// Writes text to standard output as it is; an output that has gone is no failure.
void screen_write(const std::string& text);
