// What one romup run has reached, read off the bytes it printed so far. The
// output is read as romup prints it, text by text in the order of a run, by
// the constants romup prints from (texts/messages.h): a text is taken only
// in its place, never found by searching, so that a port's name, the
// modem's reply or anything else that holds romup's words cannot pass for
// them.
#pragma once

#include <string>
#include <vector>

enum class run_phase { start, probe, reload, loader, question, erase, firmware, reset };

// The phase's name on the screen, in the summary and in the report.
const char* phase_name(run_phase phase);

struct output_reading {
    run_phase phase = run_phase::start;
    int percent = -1;           // the progress line's last value in loader and firmware; else -1
    bool asked = false;         // the question ends the output: romup waits for its answer
    bool erased = false;        // "Erasing Flash": "REPROGRAM" went to the modem
    bool flashed = false;       // the success message
    bool reset_missing = false; // ... and then no "OK" from the modem
    bool declined = false;      // "Aborted"
    bool stopped_unchanged = false; // the firmware changed since its check; the Flash untouched
    bool reload_hint = false;       // a re-load command, past the erase
    std::string loader_reply; // the reply shown before the question, its lines joined by a blank
    std::vector<std::string> warnings; // the lines beginning with "Warning: " before the question
    std::string message;               // the failure message, one line, names as romup showed them
    std::string unread;                // what follows the last text read in its place
};

// Reads out, what romup has printed so far; firmware_shown is the firmware's
// name as romup shows it (shown_name), which its question holds.
output_reading read_output(const std::string& out, const std::string& firmware_shown);

// The result of a run that has ended with status (-1: ended by a signal,
// signal_number): "flashed", "flashed, reset the modem", "declined", or what
// went wrong.
std::string run_result(const output_reading& seen, int status, int signal_number);

// Whether the run, ended with status, succeeded: status 0 after the success
// message.
bool run_flashed(const output_reading& seen, int status);

// Whether a run that ended with status after its "y" may have left the Flash
// incomplete with the loader still in the modem's RAM, so that a re-load at
// once can save it: romup printed a re-load command, or it ended past the
// erase without saying how (killed, or with a text it does not print).
bool needs_reload(const output_reading& seen, int status);
