// One port of the fleet: its romup, what it printed, and how it ended. The
// fleet keeps one per port named, in the order of the command line.
#pragma once

#include "romup_output.h"
#include "romup_process.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

struct port_run {
    std::string port;
    std::vector<std::string> command; // romup's argument vector
    romup_child child;
    std::string out; // every byte romup printed
    output_reading seen;
    std::chrono::steady_clock::time_point started;
    double seconds = 0; // from its start to its end, or so far
    bool ended = false;
    int status = -1;                    // romup's exit status; -1 when a signal ended it
    std::string result;                 // once ended: run_result
    bool reload = false;                // once ended: needs_reload
    std::FILE* log = nullptr;           // --logs: where its bytes go
    run_phase shown = run_phase::start; // the phase last shown on a log-like screen
    bool end_shown = false;
};
