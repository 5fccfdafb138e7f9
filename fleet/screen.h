// What the operator sees. On a terminal: one line per run, rewritten in
// place (name, phase, percentage, seconds, result), with each ended run's
// re-load command beneath its line. To a pipe or a file: one line per change
// of phase, prefixed with the run's name, so that a log reads in order. Then
// the decision and the summary, the same on both. Every name is shown as
// romup shows names (shown_name), and every command as words a shell reads
// back exactly (shell_word). The text is made by functions that only make
// text; screen_write alone writes.
#pragma once

#include "port_run.h"

#include <string>
#include <vector>

// Chooses the form by whether standard output is a terminal.
void screen_start();

// Whether the in-place form is in use.
bool screen_is_terminal();

// The note beneath an ended run's line: its re-load command, if it needs
// one; reload_command is the command.
std::vector<std::string> run_notes(const port_run& run, const std::string& reload_command);

// One run's line in the in-place form, its name padded to width.
std::string terminal_line(const port_run& run, std::string::size_type width);

// The lines of the log-like form for what changed since the runs were last
// shown (marking them shown), notes[i] beneath runs[i] once it has ended.
std::string phase_changes(std::vector<port_run>& runs,
                          const std::vector<std::vector<std::string>>& notes);

// Shows what changed: on a terminal the block of lines is redrawn, at most
// ten times a second unless now is set; else phase_changes. A block taller
// than the terminal's window turns the screen to phase_changes for good.
void screen_update(std::vector<port_run>& runs, const std::vector<std::vector<std::string>>& notes,
                   bool now);

// A last line for the in-place form, beneath the runs' ("": none).
void screen_set_tally(const std::string& text);

// Leaves the lines as they stand: what is printed next goes beneath them,
// and the next update starts a block of its own.
void screen_break();

// The width of the name column for these runs.
std::string::size_type name_width(const std::vector<port_run>& runs);

// The summary table (name, result, phase reached, time).
std::string summary_text(const std::vector<port_run>& runs);

// Writes text to standard output as it is; an output that has gone is no failure.
void screen_write(const std::string& text);
