// The roads of romup-fleet: a fleet over the ports named, and a station over
// a folder. Both start the same way (prepare_runs) and end the same way
// (finish_runs).
#pragma once

#include "fleet_options.h"
#include "port_run.h"

#include <string>
#include <vector>

// Sets up what every run shares, before any run starts: the descriptors for
// at_once runs, the report, the logs' folder, the private copies of the
// images, the host's name, the caught signals. Returns 0, or the exit status
// to end with, having said why on standard error: 2 for what the operator
// gave that cannot be used (nothing has been touched), 1 otherwise.
int prepare_runs(const fleet_options& options, std::size_t at_once);

// The firmware's warnings, as romup prints them at its question, for the
// operator to read before the one decision.
std::string firmware_warning_lines();

// The operator's answer to the question on the screen, read while the runs
// are served: true when its line begins with y or Y; the end of input, or a
// signal that asks the fleet to stop, says no.
bool operator_says_yes(std::vector<port_run>& runs);

// The fleet's road over options.ports, to its exit status: 0 when every run
// flashed, 1 otherwise, 2 when the command line cannot be used.
int run_fleet();

// After the last run: the summary, the command that re-loads the ports left
// with an incomplete Flash, the writes that failed, the firmware's copy
// checked against its hash. Returns the exit status: 0 when every run
// flashed and nothing failed.
int finish_runs(std::vector<port_run>& runs);
