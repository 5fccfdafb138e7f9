// One run of the fleet: a port, its romup, what it printed, what the fleet
// told it and how it ended. The fleet keeps one per port named, in the order
// of the command line; a station one per modem plugged in.
#pragma once

#include "device_names.h"
#include "romup_output.h"
#include "romup_process.h"

#include <chrono>
#include <string>
#include <vector>

struct port_run {
    std::string port;                 // the path romup is given
    std::string name;                 // as the screen names it: the port, or a station's slot
    std::vector<std::string> command; // romup's argument vector
    device_names names;
    romup_child child;
    std::string out; // every byte romup printed
    output_reading seen;
    std::chrono::steady_clock::time_point started;
    std::chrono::system_clock::time_point started_utc;
    std::chrono::system_clock::time_point ended_utc;
    double seconds = 0; // from its start to its end, or so far
    bool ended = false;
    int status = -1;         // romup's exit status; -1 when a signal ended it (or it never ran)
    int signal_number = 0;   // the signal that ended it
    std::string start_error; // why romup could not be started ("": it was)
    bool output_closed = false;
    bool told_yes = false;
    bool told_no = false;
    std::chrono::steady_clock::time_point told_no_at;
    int after_no = 0; // 1: continued, 2: killed, as it had not ended after its "n"
    bool canary = false;
    std::string held_back; // why the fleet told it "n" ("": it did not)
    std::string result;    // once ended
    bool reload = false;   // once ended: needs_reload
    int log_fd = -1;       // its log (--logs), -1 for none
    std::string log_path;
    int log_errors = 0; // writes to the log that failed, the last one's errno in log_error
    int log_error = 0;
    run_phase shown = run_phase::start; // the phase last shown on a log-like screen
    bool end_shown = false;
    bool reported = false; // its line is in the report
};
