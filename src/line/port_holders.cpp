#include "line/port_holders.h"

#include "line/system_roots.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// /dev/ptmx, whose every open makes a new pseudo-terminal master.
constexpr unsigned ptmx_major = 5;
constexpr unsigned ptmx_minor = 2;
// The slaves of Unix 98 pseudo-terminals, /dev/pts/N.
constexpr unsigned pts_first_major = 136;
constexpr unsigned pts_last_major = 143;

// N for /dev/pts/N, -1 for any other device.
long pts_index(dev_t device) {
    const unsigned device_major = major(device);
    if (device_major < pts_first_major || device_major > pts_last_major) {
        return -1;
    }
    return static_cast<long>(device_major - pts_first_major) * 256 +
           static_cast<long>(minor(device));
}

bool all_digits(const char* name) {
    if (*name == '\0') {
        return false;
    }
    for (const char* at = name; *at != '\0'; ++at) {
        if (std::isdigit(static_cast<unsigned char>(*at)) == 0) {
            return false;
        }
    }
    return true;
}

// The first line of the file at path, without its line end; "" when it
// cannot be read.
std::string first_line(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return "";
    }
    char line[256] = {};
    if (std::fgets(line, sizeof line, file) == nullptr) {
        line[0] = '\0';
    }
    std::fclose(file);
    line[std::strcspn(line, "\n")] = '\0';
    return line;
}

// Whether the file at path has a line that is exactly wanted.
bool has_line(const std::string& path, const char* wanted) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    bool found = false;
    char line[512];
    while (!found && std::fgets(line, sizeof line, file) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        found = std::strcmp(line, wanted) == 0;
    }
    std::fclose(file);
    return found;
}

// The tty-index of the master the process's descriptor fd_name is, -1 when
// its fdinfo shows none.
long master_index(const std::string& process, const char* fd_name) {
    std::FILE* info = std::fopen((process + "/fdinfo/" + fd_name).c_str(), "r");
    if (info == nullptr) {
        return -1;
    }
    long index = -1;
    char line[256];
    while (std::fgets(line, sizeof line, info) != nullptr) {
        if (std::strncmp(line, "tty-index:", 10) == 0) {
            index = std::strtol(line + 10, nullptr, 10);
        }
    }
    std::fclose(info);
    return index;
}

// Whether the process (its folder in the process table) holds device and is
// not the peer of the pseudo-terminal that device may be.
bool other_holder(const std::string& process, dev_t device) {
    const long index = pts_index(device);
    DIR* descriptors = opendir((process + "/fd").c_str());
    if (descriptors == nullptr) {
        return false;
    }
    bool holds_device = false;
    bool holds_master = false;
    while (const dirent* entry = readdir(descriptors)) {
        struct stat target {};
        if (!all_digits(entry->d_name) ||
            stat((process + "/fd/" + entry->d_name).c_str(), &target) != 0 ||
            !S_ISCHR(target.st_mode)) {
            continue;
        }
        if (target.st_rdev == device) {
            holds_device = true;
        } else if (index != -1 && target.st_rdev == makedev(ptmx_major, ptmx_minor) &&
                   master_index(process, entry->d_name) == index) {
            holds_master = true;
        }
    }
    closedir(descriptors);
    return holds_device && !holds_master;
}

} // namespace

bool port_held_elsewhere(int fd) {
    struct stat port {};
    if (fstat(fd, &port) != 0 || !S_ISCHR(port.st_mode)) {
        return false;
    }
    DIR* processes = opendir(proc_root);
    if (processes == nullptr) {
        return false;
    }
    const std::string self = std::to_string(getpid());
    bool held = false;
    while (!held) {
        const dirent* entry = readdir(processes);
        if (entry == nullptr) {
            break;
        }
        if (all_digits(entry->d_name) && self != entry->d_name) {
            held = other_holder(std::string(proc_root) + "/" + entry->d_name, port.st_rdev);
        }
    }
    closedir(processes);
    return held;
}

bool modem_manager_may_probe(int fd) {
    struct stat port {};
    if (fstat(fd, &port) != 0) {
        return false;
    }
    const std::string record = std::string(udev_root) + "/data/c" +
                               std::to_string(major(port.st_rdev)) + ":" +
                               std::to_string(minor(port.st_rdev));
    if (access(record.c_str(), R_OK) != 0 || has_line(record, "E:ID_MM_DEVICE_IGNORE=1")) {
        return false;
    }
    DIR* processes = opendir(proc_root);
    if (processes == nullptr) {
        return false;
    }
    bool running = false;
    while (!running) {
        const dirent* entry = readdir(processes);
        if (entry == nullptr) {
            break;
        }
        running =
            all_digits(entry->d_name) &&
            first_line(std::string(proc_root) + "/" + entry->d_name + "/comm") == "ModemManager";
    }
    closedir(processes);
    return running;
}
