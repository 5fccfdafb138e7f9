// The logs (--logs DIR): one file a run, romup's output byte for byte after
// the command line that started it. The folder is opened once, without
// following a link at its name; each log is a new file in it, never one that
// was there (a second fleet with the same folder gets names of its own), and
// never through a link. A write that fails (a full disk, the file-size limit)
// is counted for the summary, never dropped unseen.
#pragma once

#include "port_run.h"

#include <string>

// The log's name for a port, after its path: "/dev/ttyUSB0" gives "ttyUSB0",
// "/dev/serial/by-path/X" gives "serial-by-path-X"; stamp, when not empty,
// joins it after a "-" (a station's run's start time).
std::string log_base(const std::string& port, const std::string& stamp);

// Opens the folder, making it when it is missing. False, with a line for the
// operator in error, when it cannot be made or is no folder.
bool open_logs_folder(const std::string& dir, std::string& error);

// Creates the run's log as base.log in the folder, or base-2.log,
// base-3.log... where that name is taken, and writes the command line that
// starts its romup. False, with a line for the operator in error.
bool open_log(port_run& run, const std::string& base, std::string& error);

// Appends bytes to the run's log, if it has one, counting a failed write.
void log_bytes(port_run& run, const char* bytes, std::size_t count);

// Closes the run's log.
void close_log(port_run& run);
