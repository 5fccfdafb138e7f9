#include "line/fd_io.h"

#include <cerrno>
#include <unistd.h>

ssize_t fd_read(int fd, char* bytes, std::size_t size) {
    ssize_t got = 0;
    do {
        got = read(fd, bytes, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

ssize_t fd_write(int fd, const char* bytes, std::size_t count) {
    ssize_t written = 0;
    do {
        written = write(fd, bytes, count);
    } while (written < 0 && errno == EINTR);
    return written;
}

bool fd_write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = fd_write(fd, bytes, count);
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}
