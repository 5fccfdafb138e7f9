// The one write loop of the simulator's programs, for the line, the Flash
// file, the log and the sample images: it goes on after a signal and after a
// short write, and never prints.
#pragma once

#include <cstddef>

// Writes count bytes from bytes to fd. Returns how many were written: all of
// them, or fewer when a non-blocking fd is full for now (errno EAGAIN) or on
// an error (errno says which).
std::size_t sim_write_all(int fd, const char* bytes, std::size_t count);

// Writes the bytes to a new file at path, or over the file there; false when
// it cannot be opened, written or closed.
bool sim_write_file(const char* path, const char* bytes, std::size_t count);
