// A complete run of the production romup against the simulated modem, served
// in this process on a fresh pseudo-terminal, with the operator's "y" typed
// at the question. romup runs under romup-bench-launch, which reports its
// exit status, peak resident memory and processor time.
#pragma once

#include "sim.h"

#include <string>
#include <vector>

struct production_run {
    // The arguments after "-p<port>".
    std::vector<std::string> args;
    sim_scenario modem;
    // The run is stopped (and counts as not run) after this long.
    int deadline_s = 600;
};

struct production_result {
    bool ran = false;    // romup started and ended by itself
    std::string problem; // why not, when it did not
    int status = -1;
    long max_rss_kb = 0; // ru_maxrss
    // romup's private (anonymous) resident memory, the largest of the samples
    // taken from /proc every 200 ms or so while it ran: what romup allocates,
    // without the pages of its program and the C library, which vary a
    // little from run to run with what the page cache holds.
    long sampled_anon_kb = 0;
    double cpu_s = 0;  // user and system
    double wall_s = 0; // from its start to its end
    std::string out;   // standard output and standard error
    sim_record line;
};

production_result run_production(const production_run& run);
