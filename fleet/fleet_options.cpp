#include "fleet_options.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace {

// An option's value: the rest of the argument, or else the next argument.
bool take_value(int argc, char** argv, int& index, std::string::size_type attached_at,
                std::string& value, std::string& error) {
    const std::string argument = argv[index];
    if (argument.size() > attached_at) {
        value = argument.substr(attached_at);
        return true;
    }
    if (index + 1 >= argc) {
        error = "option " + argument + " needs a value";
        return false;
    }
    value = argv[++index];
    return true;
}

// A long option NAME with its value attached after "=" or as the next argument.
bool long_option(const std::string& argument, const std::string& name) {
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
        bool ok = true;
        if (argument == "--") {
            only_ports = true;
        } else if (argument == "--yes") {
            options.yes = true;
        } else if (long_option(argument, "--logs")) {
            ok = take_value(argc, argv, index, 7, options.logs_dir, error);
        } else if (long_option(argument, "--report")) {
            ok = take_value(argc, argv, index, 9, options.report_path, error);
        } else if (argument == "-c") {
            options.reload = true;
        } else if (argument.size() >= 2 && argument[1] == 'f') {
            ok = take_value(argc, argv, index, 2, options.firmware, error);
        } else if (argument.size() >= 2 && argument[1] == 's') {
            ok = take_value(argc, argv, index, 2, options.speed, error);
        } else if (argument.size() >= 2 && argument[1] == 'l') {
            ok = take_value(argc, argv, index, 2, options.loader, error);
        } else {
            error = "unknown option " + argument;
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
            error = "port " + *port + " named twice";
            return false;
        }
    }
    return true;
}

long listed_rate(const std::string& speed) {
    if (speed.empty()) {
        return 19200;
    }
    // Read as romup reads it: blanks, a sign, the digits up to the first
    // other character.
    std::string::size_type at = 0;
    while (at < speed.size() && std::isspace(static_cast<unsigned char>(speed[at])) != 0) {
        ++at;
    }
    bool negative = false;
    if (at < speed.size() && (speed[at] == '+' || speed[at] == '-')) {
        negative = speed[at] == '-';
        ++at;
    }
    std::int64_t value = 0;
    while (at < speed.size() && std::isdigit(static_cast<unsigned char>(speed[at])) != 0) {
        value = std::min<std::int64_t>(value * 10 + (speed[at] - '0'), std::int64_t{1} << 40);
        ++at;
    }
    if (negative) {
        value = -value;
    }
    constexpr long rates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    long chosen = rates[0];
    for (long rate : rates) {
        if (rate <= value) {
            chosen = rate;
        }
    }
    return chosen;
}
