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

namespace {

// Time for the port's lines to settle before the first command.
constexpr std::int64_t startup_pause_ms = 200;

} // namespace

int main(int argc, char** argv) {
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

    if (port_open() == 0) {
        fail_cannot_open(port_name);
    }
    pause_ms(startup_pause_ms);

    start_loader();
    reprogram();
    end_run(0);
}
