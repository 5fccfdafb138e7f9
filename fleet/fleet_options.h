// romup-fleet's command line: romup's own options, passed to every run, the
// fleet's own, and the ports. Nothing here starts a run or prints.
#pragma once

#include <string>
#include <vector>

struct fleet_options {
    bool reload = false;     // -c: every run in re-load mode
    std::string firmware;    // -f, required
    std::string speed;       // -s as given ("": romup's default)
    std::string loader;      // -l as given ("": romup's default)
    bool yes = false;        // --yes: answer "y" without asking
    std::string logs_dir;    // --logs ("": no logs)
    std::string report_path; // --report ("": no report)
    std::vector<std::string> ports;
};

inline const char fleet_usage[] =
    "usage: romup-fleet [-c] -f<firmware> [-s<speed>] [-l<loader>] [--yes] [--logs DIR]\n"
    "                   [--report FILE] PORT...\n";

// Reads argv[1..argc-1] into options. A value is attached to its option
// (-ffw.hex, --logs=DIR) or is the next argument; "--" ends the options.
// False, with a line for the operator in error, when the command line cannot
// be used: a value missing, an unknown option, no firmware, no port, a port
// named twice.
bool parse_fleet_options(int argc, char** argv, fleet_options& options, std::string& error);

// The rate romup sets the line to for the -s text: the highest of its ten
// rates not above the value, 300 below 300, 19200 with no -s.
long listed_rate(const std::string& speed);
