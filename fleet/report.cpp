#include "report.h"

#include "fleet_io.h"
#include "texts/shown_name.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int report_fd = -1;

nlohmann::ordered_json optional_name(const std::optional<std::string>& name) {
    return name ? nlohmann::ordered_json(report_name(*name)) : nlohmann::ordered_json(nullptr);
}

} // namespace

std::string report_name(const std::string& name) {
    std::string text;
    for (const char* at = name.c_str(); at < name.c_str() + name.size();) {
        const std::size_t length = utf8_length(at);
        if (*at == '\\') {
            text += "\\\\";
            ++at;
        } else if (length == 0) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x",
                          static_cast<unsigned>(static_cast<unsigned char>(*at)));
            text += hex;
            ++at;
        } else {
            text.append(at, length);
            at += length;
        }
    }
    return text;
}

std::string utc_text(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string report_line(const port_run& run, const fleet_image& firmware, const std::string& host,
                        const std::string& reload_command) {
    const bool flashed = run_flashed(run.seen, run.status);
    nlohmann::ordered_json line = {
        {"port", report_name(run.port)},
        {"device", report_name(run.names.device)},
        {"id_path", optional_name(run.names.id_path)},
        {"serial", optional_name(run.names.serial)},
        {"firmware", report_name(firmware.given)},
        {"firmware_sha256", firmware.sha256},
        {"host", report_name(host)},
        {"started", utc_text(run.started_utc)},
        {"ended", utc_text(run.ended_utc)},
        {"seconds", std::round(run.seconds * 10) / 10},
        {"status", run.status},
        {"result", report_name(run.result)},
        {"message", nullptr},
        {"canary", run.canary},
        {"erased", run.seen.erased},
        {"reload_command", nullptr},
    };
    if (!flashed && !(run.seen.declined && run.held_back.empty())) {
        line["message"] = report_name(run.result);
    }
    if (!reload_command.empty()) {
        line["reload_command"] = reload_command;
    }
    return line.dump() + "\n";
}

std::string firmware_changed_line(const fleet_image& firmware, const std::string& after,
                                  const std::string& host) {
    const nlohmann::ordered_json line = {
        {"port", nullptr},
        {"firmware", report_name(firmware.given)},
        {"firmware_sha256", firmware.sha256},
        {"firmware_sha256_after",
         after.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(after)},
        {"host", report_name(host)},
        {"result", "the firmware's copy changed during the fleet"},
    };
    return line.dump() + "\n";
}

bool open_report(const std::string& path, bool append, std::string& error) {
    // O_NONBLOCK: a FIFO at the path fails at once instead of waiting for a
    // reader; O_NOCTTY: a terminal there never becomes the fleet's.
    const int fd =
        open(path.c_str(),
             O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd == -1) {
        error = "cannot open the report " + shown_name(path.c_str()) + ": " +
                (errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
        return false;
    }
    struct stat file {};
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        close(fd);
        error = "the report " + shown_name(path.c_str()) + " is not a regular file";
        return false;
    }
    if (!append && ftruncate(fd, 0) != 0) {
        error = "cannot empty the report " + shown_name(path.c_str()) + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    report_fd = fd;
    return true;
}

bool write_report_line(const std::string& line) {
    if (report_fd == -1) {
        return true;
    }
    struct stat before {};
    const bool sized = fstat(report_fd, &before) == 0;
    if (write_in_full(report_fd, line.data(), line.size())) {
        return fsync(report_fd) == 0;
    }
    // A line cut short (a full disk, the file-size limit) is taken back: the
    // report holds whole lines only, as a program reading it expects.
    if (sized && ftruncate(report_fd, before.st_size) == 0) {
        fsync(report_fd);
    }
    return false;
}
