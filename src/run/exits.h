// The ends of a run. Every failure, wherever it is found, ends the run on the
// spot through fail: its message, then the port and the buffers released,
// then status 1.
#pragma once

#include "texts/messages.h"

// Closes the port if it was opened, releases the buffers and ends the process
// with status.
[[noreturn]] void end_run(int status);

// Prints message exactly as given (nothing when it is null) and ends the run
// with status 1.
[[noreturn]] void fail(const char* message);

// For a failure once the erase has begun: prints message, then tells the
// operator to keep the modem powered and gives the re-load command for this
// port, firmware and line speed, and ends the run with status 1.
[[noreturn]] void fail_flash_incomplete(const char* message);

// Prints the re-load command for this port, firmware and line speed, and,
// for a firmware that came from a pipe, that it must be named again.
void print_reload_command();

// Prints text around the name as shown and ends the run with status 1.
[[noreturn]] void fail_naming(const named_text& text, const char* name);

// Prints "Can not open [path]" and ends the run with status 1.
[[noreturn]] void fail_cannot_open(const char* path);
