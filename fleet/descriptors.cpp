#include "descriptors.h"

#include <fcntl.h>
#include <sys/resource.h>

bool open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1) {
            return false;
        }
    }
    return true;
}

std::size_t descriptors_needed(std::size_t count, bool logs) {
    constexpr std::size_t standard = 3;
    // The report, the images' copies while they are made, udev, the watch,
    // a log and a report being opened, with room to spare.
    constexpr std::size_t fixed = 16;
    constexpr std::size_t starting = 2;
    return standard + fixed + starting + count * (logs ? 3 : 2);
}

bool reserve_descriptors(std::size_t needed, std::size_t& limit) {
    rlimit descriptors{};
    if (getrlimit(RLIMIT_NOFILE, &descriptors) != 0) {
        limit = 0;
        return false;
    }
    if (descriptors.rlim_cur != RLIM_INFINITY && descriptors.rlim_cur < needed) {
        descriptors.rlim_cur =
            descriptors.rlim_max == RLIM_INFINITY || descriptors.rlim_max >= needed
                ? needed
                : descriptors.rlim_max;
        setrlimit(RLIMIT_NOFILE, &descriptors);
        getrlimit(RLIMIT_NOFILE, &descriptors);
    }
    limit = static_cast<std::size_t>(descriptors.rlim_cur);
    return descriptors.rlim_cur == RLIM_INFINITY || descriptors.rlim_cur >= needed;
}
