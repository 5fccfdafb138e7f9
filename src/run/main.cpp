// romup: reprograms the Flash of a Tavrin 3306 modem on a serial port.
// One run, in the order it happens.
#include "line/exchange.h"
#include "line/port.h"
#include "run/command_line.h"
#include "run/dialogue.h"
#include "run/exits.h"
#include "run/probe.h"
#include "run/state.h"

#include <cstdio>
#include <fcntl.h>

namespace {

// Time for the port's lines to settle before the first command.
constexpr std::int64_t startup_pause_ms = 200;

// A standard descriptor that the caller left closed would be the next one
// open hands out: the port would become standard output, and the banner and
// every message would go to the modem.
void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            open("/dev/null", O_RDWR);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    open_standard_descriptors();
    std::fputs("\r\nFlash loader for Tavrin 3306 modems version 1.5."
               " Keep the modem powered until the run ends.\r\n\n",
               stdout);

    alloc_buffers();
    if (port_name == nullptr || firmware_name == nullptr || loader_name == nullptr ||
        reply == nullptr) {
        fail("Not enough memory\r\n");
    }
    std::snprintf(loader_name, path_size, "%s", default_loader_name);

    if (!read_command_line(argc, argv)) {
        fail(usage_text);
    }
    check_image_files();
    check_firmware_records();

    if (port_open() == 0) {
        fail_cannot_open(port_name);
    }
    pause_ms(startup_pause_ms);

    start_loader();
    reprogram();
    end_run(0);
}
