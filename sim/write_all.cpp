#include "write_all.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

std::size_t sim_write_all(int fd, const char* bytes, std::size_t count) {
    std::size_t written = 0;
    while (written < count) {
        const ssize_t n = write(fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
        } else if (n == 0) {
            // A write that takes nothing and says no error would be retried
            // for ever: take it for a full device, as git's write_in_full does.
            errno = ENOSPC;
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    return written;
}

bool sim_write_file(const char* path, const char* bytes, std::size_t count) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    const bool written = sim_write_all(fd, bytes, count) == count;
    return close(fd) == 0 && written;
}
