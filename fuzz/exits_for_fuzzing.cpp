// Stands in for src/run/exits.cpp in the fuzz build (a link seam). The
// exception never crosses a C library frame: only romup's own code calls
// these, and none of it from inside a callback.
#include "exits_for_fuzzing.h"

#include "line/port.h"
#include "run/exits.h"
#include "run/state.h"

#include <cstdio>

namespace {

[[noreturn]] void end_with(int status, const char* message) {
    if (port_fd != -1) {
        port_close();
        // romup would be gone by now; the next input must find the port closed.
        port_fd = -1;
    }
    free_buffers();
    throw run_end{status, message};
}

} // namespace

void end_run(int status) {
    end_with(status, nullptr);
}

void fail(const char* message) {
    if (message != nullptr) {
        std::fputs(message, stdout);
    }
    end_with(1, message);
}

// The re-load hint that romup adds says nothing about the upload itself.
void fail_flash_incomplete(const char* message) {
    std::fputs(message, stdout);
    end_with(1, message);
}

void fail_cannot_open(const char* path) {
    std::printf("Can not open [%s]\r\n", path);
    end_with(1, "Can not open [%s]\r\n");
}
