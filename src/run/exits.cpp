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

void fail_cannot_open(const char* path) {
    std::printf("Can not open [%s]\r\n", path);
    end_run(1);
}
