// The road of a station (--watch DIR): every modem plugged into a slot of the
// folder is reprogrammed, one run per plug-in, with no one at the keyboard.
#pragma once

#include "fleet_options.h"

#include <cstddef>
#include <string>

// The runs a station may hold at once, for its descriptors.
std::size_t station_runs_at_once(const fleet_options& options);

// Whether the folder can be watched: it is there, or its parent is, where it
// may appear. False, said on standard error, when not: a usage error, found
// before the report, the logs or the images are made.
bool station_folder_usable(const std::string& dir);

// The station's road, to its exit status: 0 when every run flashed.
int run_station();
