// The road of a station (--watch DIR): every modem plugged into a slot of the
// folder is reprogrammed, one run per plug-in, with no one at the keyboard.
#pragma once

#include "fleet_options.h"

#include <cstddef>

// The runs a station may hold at once, for its descriptors.
std::size_t station_runs_at_once(const fleet_options& options);

// The station's road, to its exit status: 0 when every run flashed.
int run_station();
