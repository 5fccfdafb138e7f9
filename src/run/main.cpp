// romup: reprograms the Flash of a Tavrin 3306 modem on a serial port.
// One run, in the order it happens.
#include "line/exchange.h"
#include "line/port.h"
#include "run/command_line.h"
#include "run/dialogue.h"
#include "run/exits.h"
#include "run/image_files.h"
#include "run/probe.h"
#include "run/state.h"
#include "texts/messages.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>

namespace {

// Time for the port's lines to settle before the first command.
constexpr std::int64_t startup_pause_ms = 200;

// A standard descriptor that the caller left closed would be the next one
// open hands out: the port would become standard output, and the banner and
// every message would go to the modem. Returns false when one cannot be
// filled.
bool open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) == -1) {
            return false;
        }
    }
    return true;
}

// A run polls for its whole length: a large firmware takes as much processor
// time as it takes real time, and a soft limit would end the run with half a
// Flash. The hard limit is as far as it can go.
void raise_processor_time_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_CPU, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_CPU, &limit);
    }
}

// Ends the run unless the port opened, as a terminal that no other program
// holds.
void open_port() {
    const int opened = port_open();
    if (opened == port_in_use) {
        fail_naming(port_in_use_text, port_name);
    }
    if (opened == 0) {
        fail_cannot_open(port_name);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (!open_standard_descriptors()) {
        return 1;
    }
    raise_processor_time_limit();
    std::fputs(banner_text, stdout);

    alloc_buffers();
    if (port_name == nullptr || firmware_name == nullptr || loader_name == nullptr ||
        reply == nullptr) {
        fail(no_memory_text);
    }
    std::snprintf(loader_name, path_size, "%s", default_loader_name);

    if (!read_command_line(argc, argv)) {
        fail(usage_text);
    }
    check_image_files();

    open_port();
    pause_ms(startup_pause_ms);

    start_loader();
    reprogram();
    end_run(0);
}
