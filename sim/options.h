// romup-sim's command line: the options, each mapped onto the modem's scenario
// or onto the program's own settings, and the usage text that lists them.
// Parsing never opens a file or a device; a bad option is told on standard
// error, in the program's words, and nothing else is printed.
#pragma once

#include "sim.h"

#include <string>

// What the command line asks of the program: the modem's scenario, and where
// its device, Flash and log go.
struct sim_options {
    sim_scenario scenario;
    std::string link_path;  // --link: a symbolic link to the device; empty for none
    std::string flash_path; // --flash: the Flash's bytes are written there; empty for none
    std::string log_path;   // --log: the transcript as it happens; empty for none
    bool once = false;      // --once: serve one run, then exit
    bool pace = false;      // --pace: bytes travel at the rate romup set on the port
};

// The text --help prints.
extern const char sim_usage_text[];

// Reads the options of argv into o. Returns 0 to go on, 1 when --help was
// given (the options after it are not read), 2 on bad usage, told on standard
// error (without the "Try" line, which the caller adds).
int parse_sim_options(int argc, char** argv, sim_options& o);
