// What one romup run has reached, read off the bytes it printed so far: its
// phase and percentage, whether it asked its question or got past the erase,
// its loader's reply, the firmware's warnings, and how it ended. The texts are
// romup's messages, byte for byte; a text romup does not print is no sign of
// anything.
#pragma once

#include <string>
#include <vector>

enum class run_phase { start, probe, reload, loader, question, erase, firmware, reset };

// The phase's name on the screen, in the summary and in the report.
const char* phase_name(run_phase phase);

struct output_reading {
    run_phase phase = run_phase::start;
    int percent = -1;           // the progress line's last value in loader and firmware; else -1
    bool asked = false;         // the question "Reprogram [Y/N]? " is on its screen
    bool erased = false;        // past "REPROGRAM": romup printed "Erasing Flash"
    bool flashed = false;       // "successfully loaded" printed
    bool reset_missing = false; // ... and the modem did not answer "OK" after
    bool declined = false;      // "Aborted" printed
    std::string loader_reply;   // the reply shown before the question, its lines joined
    std::vector<std::string> warnings; // the firmware's "Warning: " lines at the question
    std::string message;           // the last line romup printed before the re-load hint, if any
    std::vector<std::string> hint; // romup's re-load hint lines, from "The Flash is incomplete"
};

output_reading read_output(const std::string& out);

// The result of a run that has ended with status (-1: killed by a signal):
// "flashed", "flashed, reset the modem", "declined", or its failure message.
std::string run_result(const output_reading& seen, int status);

// Whether the run ended with the Flash incomplete and the loader still in the
// modem's RAM, so that a re-load at once can save it.
bool needs_reload(const output_reading& seen, int status);
