#include "fleet_options.h"

#include "texts/line_speeds.h"
#include "texts/shown_name.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// An option's value: the rest of the argument after attached_at, or else the
// next argument. An empty value names nothing: taken, it would send the
// report to the next word (a port), or a run to romup's defaults.
bool take_value(int argc, char** argv, int& index, std::string::size_type attached_at,
                std::string& value, std::string& error) {
    const std::string argument = argv[index];
    if (argument.size() > attached_at) {
        value = argument.substr(attached_at);
    } else if (attached_at > 2 && argument.size() == attached_at) {
        // "--report=": the value is attached, and empty.
        value.clear();
    } else if (index + 1 < argc) {
        value = argv[++index];
    } else {
        error = "option " + shown_name(argument.c_str()) + " needs a value";
        return false;
    }
    if (value.empty()) {
        error = "option " + shown_name(argument.c_str()) + " has an empty value";
        return false;
    }
    return true;
}

bool take_count(int argc, char** argv, int& index, std::string::size_type attached_at, int& count,
                std::string& error) {
    const std::string argument = argv[index];
    const std::string name = argument.substr(0, argument.find('='));
    std::string value;
    if (!take_value(argc, argv, index, attached_at, value, error)) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (*end != '\0' || value[0] < '0' || value[0] > '9' || errno != 0 || number < 1 ||
        number > INT_MAX) {
        error = "option " + name + " takes a whole number from 1, not " + shown_name(value.c_str());
        return false;
    }
    count = static_cast<int>(number);
    return true;
}

// A long option NAME, its value attached after "=" (attached_at: after it) or
// the next argument.
bool long_option(const std::string& argument, const std::string& name,
                 std::string::size_type& attached_at) {
    attached_at = name.size() + 1;
    return argument == name || argument.rfind(name + "=", 0) == 0;
}

} // namespace

bool parse_fleet_options(int argc, char** argv, fleet_options& options, std::string& error) {
    bool only_ports = false;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (only_ports || argument.empty() || argument[0] != '-' || argument == "-") {
            options.ports.push_back(argument);
            continue;
        }
        std::string::size_type at = 0;
        bool ok = true;
        if (argument == "--") {
            only_ports = true;
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (long_option(argument, "--logs", at)) {
            ok = take_value(argc, argv, index, at, options.logs_dir, error);
        } else if (long_option(argument, "--report", at)) {
            ok = take_value(argc, argv, index, at, options.report_path, error);
        } else if (long_option(argument, "--watch", at)) {
            ok = take_value(argc, argv, index, at, options.watch_dir, error);
        } else if (long_option(argument, "--canary", at)) {
            ok = take_count(argc, argv, index, at, options.limits.canary, error);
        } else if (long_option(argument, "--jobs", at)) {
            ok = take_count(argc, argv, index, at, options.limits.jobs, error);
        } else if (long_option(argument, "--max-failures", at)) {
            ok = take_count(argc, argv, index, at, options.limits.max_failures, error);
        } else if (argument == "-c") {
            options.reload = true;
        } else if (argument[1] == 'f') {
            ok = take_value(argc, argv, index, 2, options.firmware, error);
        } else if (argument[1] == 's') {
            ok = take_value(argc, argv, index, 2, options.speed, error);
        } else if (argument[1] == 'l') {
            ok = take_value(argc, argv, index, 2, options.loader, error);
        } else {
            error = "unknown option " + shown_name(argument.c_str());
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    if (options.firmware.empty()) {
        error = "no firmware (-f)";
        return false;
    }
    if (!options.watch_dir.empty()) {
        if (!options.ports.empty()) {
            error = "--watch takes no port: every terminal that appears in its folder is one";
            return false;
        }
        if (options.limits.canary > 0) {
            error = "--canary does not go with --watch: the first runs of a station are its "
                    "canaries (see --max-failures)";
            return false;
        }
        return true;
    }
    if (options.ports.empty()) {
        error = "no port";
        return false;
    }
    for (auto port = options.ports.begin(); port != options.ports.end(); ++port) {
        if (port->empty()) {
            error = "an empty port name";
            return false;
        }
        // Two runs on one line would each read part of the modem's answers.
        if (std::find(options.ports.begin(), port, *port) != port) {
            error = "port " + shown_name(port->c_str()) + " named twice";
            return false;
        }
    }
    return true;
}

long fleet_rate(const fleet_options& options) {
    return listed_rate(options.speed.empty() ? default_line_speed
                                             : read_speed(options.speed.c_str()));
}
