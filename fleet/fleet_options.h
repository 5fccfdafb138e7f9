// romup-fleet's command line: romup's own options, passed to every run, the
// fleet's own, and the ports. Nothing here starts a run or prints.
#pragma once

#include "rollout.h"

#include <string>
#include <vector>

struct fleet_options {
    bool reload = false;     // -c: every run in re-load mode
    std::string firmware;    // -f, required
    std::string speed;       // -s as given ("": romup's default)
    std::string loader;      // -l as given ("": romup's default, ramagent.hex)
    bool yes = false;        // --yes: answer "y" without asking
    std::string logs_dir;    // --logs ("": no logs)
    std::string report_path; // --report ("": no report)
    std::string watch_dir;   // --watch: a station over this folder ("": the ports named)
    rollout_limits limits;   // --canary, --jobs, --max-failures
    std::vector<std::string> ports;
};

inline const char fleet_usage[] =
    "usage: romup-fleet [-c] -f<firmware> [-s<speed>] [-l<loader>] [--yes] [--logs DIR]\n"
    "                   [--report FILE] [--canary N] [--jobs N] [--max-failures K] PORT...\n"
    "       romup-fleet --watch DIR [-c] -f<firmware> [-s<speed>] [-l<loader>] [--yes]\n"
    "                   [--logs DIR] [--report FILE] [--jobs N] [--max-failures K]\n";

// Reads argv[1..argc-1] into options. A value is attached to its option
// (-ffw.hex, --logs=DIR) or is the next argument; "--" ends the options.
// False, with a line for the operator in error, when the command line cannot
// be used: a value missing or empty, a count that is no whole number from 1,
// an unknown option, no firmware, no port (or ports with --watch), a port
// named twice, --canary with --watch.
bool parse_fleet_options(int argc, char** argv, fleet_options& options, std::string& error);

// The rate romup sets the line to for the -s text: 19200 with no -s.
long fleet_rate(const fleet_options& options);
