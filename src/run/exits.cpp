#include "run/exits.h"

#include "line/port.h"
#include "run/state.h"

#include <cstdio>
#include <cstdlib>

void end_run(int status) {
    if (port_fd != -1) {
        port_close();
    }
    free_buffers();
    // exit, not _exit: what standard output still buffers (before the port
    // was opened) must reach a file or a pipe.
    std::exit(status);
}

void fail(const char* message) {
    if (message != nullptr) {
        std::fputs(message, stdout);
    }
    end_run(1);
}

void fail_flash_incomplete(const char* message) {
    std::fputs(message, stdout);
    // Past the erase only the loader in the modem's RAM can still reach the
    // Flash: a modem switched off or reset now may never start again.
    std::printf("\r\nThe Flash is incomplete. Keep the modem powered: the loader still runs in "
                "its RAM.\r\nRun romup again at once in re-load mode:\r\n"
                "  romup -c -p%s -f%s -s%ld\r\n",
                port_name, firmware_name, static_cast<long>(listed_rate(line_speed)));
    end_run(1);
}

void fail_cannot_open(const char* path) {
    std::printf("Can not open [%s]\r\n", path);
    end_run(1);
}
