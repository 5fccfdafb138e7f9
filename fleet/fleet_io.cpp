#include "fleet_io.h"

#include <cerrno>
#include <unistd.h>

bool write_in_full(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

ssize_t read_some(int fd, char* bytes, std::size_t size) {
    ssize_t got = 0;
    do {
        got = read(fd, bytes, size);
    } while (got < 0 && errno == EINTR);
    return got;
}
