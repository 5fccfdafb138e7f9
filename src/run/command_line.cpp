#include "run/command_line.h"

#include "run/state.h"
#include "texts/line_speeds.h"

#include <cctype>
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
