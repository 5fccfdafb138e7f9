#include "station.h"

std::size_t station_runs_at_once(const fleet_options& options) {
    return options.limits.jobs > 0 ? static_cast<std::size_t>(options.limits.jobs) : 64;
}

int run_station() {
    return 2;
}
