// The report (--report): JSON Lines, one object per run. The file is opened
// before any run starts; each line is written whole and flushed to the disk
// as its run ends, so that a fleet killed at any moment leaves a whole line
// for every run that had ended, and no torn one. Names are the operator's
// bytes: the report keeps them distinct and exact, as JSON text
// (report_name) and, in reload_command, as words bash reads back exactly.
#pragma once

#include "fleet_images.h"
#include "port_run.h"

#include <chrono>
#include <string>

// name as JSON text can hold it: well-formed UTF-8 as it is, a backslash as
// two, and every other byte as \xHH.
std::string report_name(const std::string& name);

// The time in UTC, ISO 8601, to the second: 2026-12-09T10:11:12Z.
std::string utc_text(std::chrono::system_clock::time_point time);

// The line of an ended run, with its re-load command ("": none), newline
// included.
std::string report_line(const port_run& run, const fleet_image& firmware, const std::string& host,
                        const std::string& reload_command);

// The line that says the firmware's copy no longer hashes as it did before
// the first run (after: its hash now, "" when it could not be read).
std::string firmware_changed_line(const fleet_image& firmware, const std::string& after,
                                  const std::string& host);

// Opens the report at path, refusing a symbolic link at its last component
// and anything but a regular file (a terminal, a device, a FIFO); with append
// it keeps what the file holds, else it empties it. False, with a line for
// the operator in error.
bool open_report(const std::string& path, bool append, std::string& error);

// Appends the line to the report (if one is open) and flushes it to the disk.
// False when it could not be written whole; what of it was written is then
// taken back.
bool write_report_line(const std::string& line);
