// The fleet's one write loop and one read: every byte romup-fleet writes to a
// descriptor (its screen, a romup's standard input, a log, the report) goes
// through write_in_full, every read of a descriptor through read_some.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Writes all of count bytes, again after a signal or a short write. False,
// with errno, when fd fails before every byte is taken (a pipe without reader,
// a full disk, a file past its size limit) or would block.
bool write_in_full(int fd, const char* bytes, std::size_t count);

// One read of up to size bytes that a signal does not cut short: the count, 0
// at the end, -1 with errno on a failure (EAGAIN: nothing there for now).
ssize_t read_some(int fd, char* bytes, std::size_t size);
