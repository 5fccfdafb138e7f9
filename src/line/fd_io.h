// Reads and writes that a signal does not cut short: the one place where
// romup tries a read or a write again after EINTR, and finishes a short
// write. Used for the port's bytes (line/exchange.h, whose deadlines stay its
// own) and for the copy of an image from a pipe (run/image_files.h). Nothing
// here waits on a clock, prints or ends the run: a descriptor that would
// block is the caller's to wait for.
#pragma once

#include <cstddef>
#include <sys/types.h>

// One read of up to size bytes, again whenever a signal cuts it off before
// its first byte. The count, 0 at the end, or -1 on a failure (errno: EAGAIN
// where a non-blocking descriptor has nothing).
ssize_t fd_read(int fd, char* bytes, std::size_t size);

// One write of up to count bytes, again whenever a signal cuts it off before
// its first byte. The count taken, which may be short, or -1 on a failure
// (errno: EAGAIN where a non-blocking descriptor takes nothing now).
ssize_t fd_write(int fd, const char* bytes, std::size_t count);

// Writes all of count bytes, finishing every short write. False when fd fails
// or takes no more: for a file, which takes every byte at once or fails for
// good (no room), not for a port that may only be full for now.
bool fd_write_all(int fd, const char* bytes, std::size_t count);
