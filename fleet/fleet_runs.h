// The runs of a fleet or a station, each a romup of its own: how one is made,
// started, served while it runs, answered and ended, its line written to the
// report as it ends. What every run shares (the options, the images, the
// host) is set once in fleet_setup.
#pragma once

#include "fleet_images.h"
#include "fleet_options.h"
#include "port_run.h"

#include <poll.h>
#include <string>
#include <vector>

struct fleet_setup {
    fleet_options options;
    fleet_image firmware;
    fleet_image loader; // copy "": none (re-load mode)
    std::string host;
};

// Set by the road of the fleet or the station before the first run is made.
extern fleet_setup setup;

// A run for the port, named name on the screen, with its command line and
// the names of its device; not started.
port_run make_run(const std::string& port, const std::string& name);

// The command that re-loads the ports at once: re-load mode, the same
// firmware (<firmware> for one that came from a pipe), the rate the lines
// were set to, and no --yes, so that pasted it asks again. With utf8, for the
// report: bytes that are no UTF-8 written so that bash still reads them back.
std::string fleet_reload_command(const std::vector<std::string>& ports, bool utf8);

// The notes beneath each run's line (its re-load command, once ended).
std::vector<std::vector<std::string>> notes_of(const std::vector<port_run>& runs);

// Starts the run's romup, its start time in UTC the one already set (a
// station's, which names its log), else now. A run that cannot be started
// ends at once.
void start_run(port_run& run);

// Answers the run's question: "y", or "n" with why the fleet held it back
// ("" when the operator declined). A run told "n" that has not ended 10 s
// later is continued, and killed 5 s after that: its Flash was never touched.
void answer_run(port_run& run, bool yes, const std::string& held_back);

// One wait over every run's output and the extra descriptors, for up to
// timeout_ms (-1: until something happens): reads what the runs printed,
// ends the runs whose romup has ended (their report lines written), and keeps
// the 10 s rule of answer_run. The extra descriptors' events are in extra.
// False when the wait itself failed.
bool serve_step(std::vector<port_run>& runs, std::vector<pollfd>& extra, int timeout_ms);

// When the fleet cannot wait on its runs any more (the wait itself fails):
// every run not yet told "y" is told "n" and killed (its Flash untouched),
// and each of the others is waited for to its end, one after the other.
void end_without_waiting(std::vector<port_run>& runs);

// Whether every run has ended.
bool all_ended(const std::vector<port_run>& runs);

// Reports a report line that could not be written (counted here).
int report_failures();
