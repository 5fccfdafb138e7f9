// Fuzzes the reading of the command line. The input, split at its NUL bytes,
// is the argument vector after the command name; each argument gets an
// allocation of its own, so that reading past one is caught. Beyond no crash
// and no write past a buffer: every path buffer stays NUL-terminated, an
// accepted command line names a port and a firmware, and the run state is the
// one that the option rules make of the arguments.
#include "run/command_line.h"
#include "run/state.h"
#include "texts/line_speeds.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_command_line: %s\n", what);
        std::abort();
    }
}

// The -s value as the option rules read it: strtol takes the same blanks, sign
// and digits, and saturates far beyond the 32-bit range.
std::int32_t expected_speed(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    return static_cast<std::int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

struct run_state {
    std::string port;
    std::string firmware;
    std::string loader = default_loader_name;
    std::int32_t speed = default_line_speed;
    bool reload = false;
    bool sleeping = false;
};

// The option rules, written out again for comparison; returns false where the
// command line is unusable (a path of more than 512 characters is refused,
// and so is an empty port, firmware or loader name).
bool expected_reading(const std::vector<std::string>& arguments, run_state& state) {
    for (const std::string& argument : arguments) {
        if (argument.empty() || (argument[0] != '-' && argument[0] != '/')) {
            return false;
        }
        if (argument.size() == 1) {
            continue;
        }
        char letter = argument[1];
        if (letter >= 'A' && letter <= 'Z') {
            letter = static_cast<char>(letter - 'A' + 'a');
        }
        const std::string value = argument.substr(2);
        std::string* path = letter == 'p'   ? &state.port
                            : letter == 'f' ? &state.firmware
                            : letter == 'l' ? &state.loader
                                            : nullptr;
        if (path != nullptr) {
            if (value.size() > path_max_length) {
                return false;
            }
            *path = value;
        } else if (letter == 's') {
            state.speed = expected_speed(value.c_str());
        } else if (letter == 'c') {
            state.reload = true;
        } else if (letter == 'w') {
            state.sleeping = true;
        }
    }
    return !state.port.empty() && !state.firmware.empty() && !state.loader.empty();
}

bool terminated(const char* path) {
    return std::memchr(path, '\0', path_size) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    if (size > 0) {
        const char* text = reinterpret_cast<const char*>(data);
        std::size_t start = 0;
        for (std::size_t at = 0; at <= size; ++at) {
            if (at == size || text[at] == '\0') {
                arguments.emplace_back(text + start, at - start);
                start = at + 1;
            }
        }
    }

    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char*> argv;
    storage.push_back(std::make_unique<char[]>(sizeof "romup"));
    std::memcpy(storage.back().get(), "romup", sizeof "romup");
    argv.push_back(storage.back().get());
    for (const std::string& argument : arguments) {
        storage.push_back(std::make_unique<char[]>(argument.size() + 1));
        std::memcpy(storage.back().get(), argument.c_str(), argument.size() + 1);
        argv.push_back(storage.back().get());
        // Any text can reach read_speed; only its result is compared below.
        require(read_speed(argument.c_str()) == expected_speed(argument.c_str()),
                "read_speed differs from strtol clamped to 32 bits");
    }
    argv.push_back(nullptr);

    reload_mode = false;
    sleeping_waits = false;
    line_speed = default_line_speed;
    alloc_buffers();
    require(port_name != nullptr && firmware_name != nullptr && loader_name != nullptr &&
                reply != nullptr,
            "a buffer is missing");
    std::snprintf(loader_name, path_size, "%s", default_loader_name);

    const bool accepted = read_command_line(static_cast<int>(argv.size() - 1), argv.data());

    require(terminated(port_name) && terminated(firmware_name) && terminated(loader_name),
            "a path buffer holds no NUL");
    run_state expected;
    require(accepted == expected_reading(arguments, expected),
            "accepted where the rules refuse, or the reverse");
    if (accepted) {
        require(port_name[0] != '\0' && firmware_name[0] != '\0', "no port or no firmware");
        require(expected.port == port_name, "port_name differs");
        require(expected.firmware == firmware_name, "firmware_name differs");
        require(expected.loader == loader_name, "loader_name differs");
        require(expected.speed == line_speed, "line_speed differs");
        require(expected.reload == reload_mode, "reload_mode differs");
        require(expected.sleeping == sleeping_waits, "sleeping_waits differs");
    }
    free_buffers();
    return 0;
}
