// The run state: every process-wide buffer and flag of a run, created once at
// start-up and released once at exit. Each is written where its comment says
// and read wherever a part of the run needs it.
#pragma once

#include "texts/line_speeds.h"
#include "texts/messages.h"

#include <cstddef>
#include <cstdint>

// A path holds at most 512 characters and its terminating NUL.
constexpr std::size_t path_size = 513;
constexpr std::size_t path_max_length = path_size - 1;
// A reply holds at most 1024 bytes from the modem and a terminating NUL.
constexpr std::size_t reply_size = 1025;
constexpr int reply_max_length = 1024;

constexpr const char* default_loader_name = default_loader_text;

// Path of the serial device; filled by -p.
extern char* port_name;
// Path of the firmware image file; filled by -f.
extern char* firmware_name;
// Path of the loader image file; "ramagent.hex" unless -l fills it.
extern char* loader_name;
// Every read from the modem lands here, NUL-terminated after its last byte;
// the uploads also read each image line into it. Nothing in it survives the
// next read.
extern char* reply;
// Requested line speed in bit/s; set by -s, mapped to a port speed on open.
extern std::int32_t line_speed;
// Set by -c: a loader already runs in the modem, so the probe and the loader
// upload are skipped.
extern bool reload_mode;
// Set by -w: every wait sleeps in the kernel and every limit counts real
// time, instead of polling against processor time; what the run sends,
// prints and returns is the same either way.
extern bool sleeping_waits;

// Allocates the four buffers, in the order firmware, loader, reply, port, each
// filled with NULs. A buffer that cannot be allocated stays null; the caller
// tests.
void alloc_buffers();

// Releases each buffer that exists and makes its pointer null.
void free_buffers();
