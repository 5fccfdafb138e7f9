// What the fleet leaves behind: a log per port (--logs) and the report
// (--report). Both are written by the fleet alone; romup knows nothing of them.
#pragma once

#include "port_run.h"

#include <string>
#include <vector>

// The log's file name for a port, after its path: "/dev/ttyUSB0" gives
// "ttyUSB0.log", "/dev/serial/by-path/X" gives "serial-by-path-X.log". A name
// already in taken gets "-2", "-3"... before ".log"; the name is added to taken.
std::string log_name(const std::string& port, std::vector<std::string>& taken);

// Makes the folder when it is missing, creates each run's log in it and writes
// the command line that starts its romup as the first line. False, with a line
// for the operator in error, when the folder or a file cannot be made.
bool open_logs(const std::string& dir, std::vector<port_run>& runs, std::string& error);

// Appends bytes to the run's log, if it has one.
void log_bytes(const port_run& run, const char* bytes, std::string::size_type count);

// Writes the report: one JSON object per port, one per line, with
// reload_commands[i] for runs[i] where it needs one. False when the file
// cannot be written.
bool write_report(const std::string& path, const std::vector<port_run>& runs,
                  const std::vector<std::string>& reload_commands);
