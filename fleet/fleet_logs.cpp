#include "fleet_logs.h"

#include "fleet_io.h"
#include "texts/shell_word.h"
#include "texts/shown_name.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int folder_fd = -1;
std::string folder_name;

} // namespace

std::string log_base(const std::string& port, const std::string& stamp) {
    std::string path = port;
    if (path.rfind("/dev/", 0) == 0) {
        path.erase(0, 5);
    }
    // The path's components, joined with "-": no "/" is left to make a
    // folder of, and no "." or ".." to climb with.
    std::string base;
    std::string::size_type from = 0;
    while (from <= path.size()) {
        auto to = path.find('/', from);
        if (to == std::string::npos) {
            to = path.size();
        }
        const std::string part = path.substr(from, to - from);
        if (!part.empty() && part != "." && part != "..") {
            base += (base.empty() ? "" : "-") + part;
        }
        from = to + 1;
    }
    if (base.empty()) {
        base = "port";
    }
    return stamp.empty() ? base : base + "-" + stamp;
}

bool open_logs_folder(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        error = "cannot make the folder " + shown_name(dir.c_str()) + ": " + std::strerror(errno);
        return false;
    }
    folder_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder_fd == -1) {
        error = "cannot open the folder " + shown_name(dir.c_str()) + ": " +
                (errno == ELOOP || errno == ENOTDIR ? "it is no folder (or a symbolic link)"
                                                    : std::strerror(errno));
        return false;
    }
    folder_name = dir;
    return true;
}

bool open_log(port_run& run, const std::string& base, std::string& error) {
    std::string name = base + ".log";
    for (int number = 2;; ++number) {
        run.log_fd = openat(folder_fd, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
        if (run.log_fd != -1 || errno != EEXIST || number > 9999) {
            break;
        }
        name = base + "-" + std::to_string(number) + ".log";
    }
    run.log_path = folder_name + "/" + name;
    if (run.log_fd == -1) {
        error = "cannot create " + shown_name(run.log_path.c_str()) + ": " + std::strerror(errno);
        return false;
    }
    std::string command;
    for (const std::string& word : run.command) {
        command += (command.empty() ? "" : " ") + shell_word(word.c_str());
    }
    command += "\n";
    log_bytes(run, command.data(), command.size());
    return true;
}

void log_bytes(port_run& run, const char* bytes, std::size_t count) {
    if (run.log_fd != -1 && !write_in_full(run.log_fd, bytes, count)) {
        ++run.log_errors;
        run.log_error = errno;
    }
}

void close_log(port_run& run) {
    if (run.log_fd != -1) {
        if (close(run.log_fd) != 0) {
            ++run.log_errors;
            run.log_error = errno;
        }
        run.log_fd = -1;
    }
}
