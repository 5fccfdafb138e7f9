#include "fleet_files.h"

#include "shell_quote.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

std::string log_name(const std::string& port, std::vector<std::string>& taken) {
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
    std::string name = base + ".log";
    for (int number = 2; std::find(taken.begin(), taken.end(), name) != taken.end(); ++number) {
        name = base + "-" + std::to_string(number) + ".log";
    }
    taken.push_back(name);
    return name;
}

bool open_logs(const std::string& dir, std::vector<port_run>& runs, std::string& error) {
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        error = "cannot make the folder " + dir + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> taken;
    for (port_run& run : runs) {
        const std::string path = dir + "/" + log_name(run.port, taken);
        // "e": close-on-exec, so that no romup holds another port's log.
        run.log = std::fopen(path.c_str(), "wbe");
        const std::string command = shell_command(run.command) + "\n";
        if (run.log == nullptr || std::fputs(command.c_str(), run.log) == EOF ||
            std::fflush(run.log) != 0) {
            error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void log_bytes(const port_run& run, const char* bytes, std::string::size_type count) {
    // Flushed at once: a log shows what romup printed up to any moment.
    if (run.log != nullptr) {
        std::fwrite(bytes, 1, count, run.log);
        std::fflush(run.log);
    }
}

bool write_report(const std::string& path, const std::vector<port_run>& runs,
                  const std::vector<std::string>& reload_commands) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (std::vector<port_run>::size_type index = 0; index < runs.size(); ++index) {
        const port_run& run = runs[index];
        nlohmann::json line = {
            {"port", run.port},
            {"status", run.status},
            {"result", run.result},
            {"message", nullptr},
            {"erased", run.seen.erased},
            {"reload_command", nullptr},
            {"seconds", std::round(run.seconds * 10) / 10},
        };
        if (run.status != 0 && !run.seen.declined) {
            line["message"] = run.result;
        }
        if (run.reload) {
            line["reload_command"] = reload_commands[index];
        }
        // Port paths and messages are the operator's bytes, not always UTF-8.
        file << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    }
    file.close();
    return !file.fail();
}
