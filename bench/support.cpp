#include "support.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

scratch_dir::scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "romup-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a scratch folder");
    }
    path = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool write_file(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) {
        return false;
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return close(fd) == 0 && done == content.size();
}

std::int64_t wall_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::uint64_t allowed_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) {
        return 0;
    }
    std::uint64_t mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            mask |= std::uint64_t{1} << cpu;
        }
    }
    return mask;
}

bool run_on_cpus(std::uint64_t mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu) {
        if ((mask >> cpu & 1) != 0) {
            CPU_SET(cpu, &set);
        }
    }
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

int lowest_cpu(std::uint64_t mask) {
    for (int cpu = 0; cpu < 64; ++cpu) {
        if ((mask >> cpu & 1) != 0) {
            return cpu;
        }
    }
    return -1;
}
