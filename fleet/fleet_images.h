// The images every run is given: the firmware, and unless in re-load mode the
// loader, each read once, before any run starts, into a private copy in a
// folder of the fleet's own (mode 0700 in $TMPDIR, else /tmp). Every romup
// reads the same copy under the fleet's own name, so that a pipe is not split
// between the runs, a file changed meanwhile changes no run, and the
// operator's names never reach romup's output. The firmware's copy is checked
// as romup checks it (texts/image_check.h) and hashed for the report.
#pragma once

#include <string>

struct fleet_image {
    std::string given;      // the name the operator gave
    std::string copy;       // the private copy's path
    bool from_pipe = false; // given as a pipe or FIFO: gone once read
    std::string sha256;     // of the copy's bytes, in lower-case hexadecimal
};

// Copies the firmware and, with a loader name ("": none wanted), the loader.
// False, with a line for the operator in error, when either cannot be read
// to its end (missing, unreadable, not a regular file or a pipe) or copied.
// An interrupt, a termination or a hang-up meanwhile removes what was made
// and ends the fleet by that signal.
bool take_images(const std::string& firmware_name, const std::string& loader_name,
                 fleet_image& firmware, fleet_image& loader, std::string& error);

// The warnings of the firmware's check, as romup prints them at its question,
// for the firmware's given name.
std::string firmware_warnings(const fleet_image& firmware);

// The SHA-256 of the file at path in lower-case hexadecimal; "" when it
// cannot be read.
std::string file_sha256(const std::string& path);

// Removes the copies and their folder.
void remove_images();
