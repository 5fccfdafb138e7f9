// romup-fleet: reprograms several modems at once, one `romup -w` per port,
// each in a process of its own: over the ports named (fleet.h), or over every
// modem plugged into a folder's slots (station.h).
#include "descriptors.h"
#include "fleet.h"
#include "fleet_options.h"
#include "fleet_signals.h"
#include "station.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (!open_standard_descriptors()) {
        return 1;
    }
    hold_file_size_signal();
    fleet_options options;
    std::string error;
    if (!parse_fleet_options(argc, argv, options, error)) {
        std::fprintf(stderr, "romup-fleet: %s\n%s", error.c_str(), fleet_usage);
        return 2;
    }
    const bool station = !options.watch_dir.empty();
    if (station && !station_folder_usable(options.watch_dir)) {
        return 2;
    }
    if (const int status =
            prepare_runs(options, station ? station_runs_at_once(options) : options.ports.size())) {
        return status;
    }
    return station ? run_station() : run_fleet();
}
