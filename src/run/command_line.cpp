#include "run/command_line.h"

#include "run/state.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace {

bool copy_path(char* path, const char* value) {
    const std::size_t length = std::strlen(value);
    if (length > path_max_length) {
        return false;
    }
    std::memcpy(path, value, length + 1);
    return true;
}

} // namespace

int read_speed(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    constexpr std::int64_t beyond_range = std::int64_t{INT32_MAX} + 2;
    std::int64_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(*text))) {
        value = value * 10 + (*text - '0');
        if (value > beyond_range) {
            value = beyond_range;
        }
        ++text;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int>(value);
}

bool read_command_line(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        const char* argument = argv[index];
        if (argument[0] != '-' && argument[0] != '/') {
            return false;
        }
        if (argument[1] == '\0') {
            continue;
        }
        const char* value = argument + 2;
        switch (std::tolower(static_cast<unsigned char>(argument[1]))) {
        case 'c':
            reload_mode = true;
            break;
        case 'p':
            if (!copy_path(port_name, value)) {
                return false;
            }
            break;
        case 'f':
            if (!copy_path(firmware_name, value)) {
                return false;
            }
            break;
        case 'l':
            if (!copy_path(loader_name, value)) {
                return false;
            }
            break;
        case 's':
            line_speed = read_speed(value);
            break;
        case 'w':
            sleeping_waits = true;
            break;
        default:
            break;
        }
    }
    // An empty -l names no loader, as an empty -p or -f names no port or
    // firmware.
    return port_name[0] != '\0' && firmware_name[0] != '\0' && loader_name[0] != '\0';
}
