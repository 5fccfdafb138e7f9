#include "run/exits.h"

#include "line/port.h"
#include "run/image_files.h"
#include "run/shell_word.h"
#include "run/shown_name.h"
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
    std::fputs("\r\nThe Flash is incomplete. Keep the modem powered: the loader still runs in "
               "its RAM.\r\nRun romup again at once in re-load mode:\r\n",
               stdout);
    // Pasted into a shell as it stands: each name one word, whatever it holds.
    // A pipe's name (/dev/fd/63) is gone with this process.
    const bool from_pipe = image_from_pipe(image_file::firmware);
    std::printf("  romup -c%s -p%s -f%s -s%ld\r\n", sleeping_waits ? " -w" : "",
                shell_word(port_name).c_str(),
                from_pipe ? "<firmware>" : shell_word(firmware_name).c_str(),
                static_cast<long>(listed_rate(line_speed)));
    if (from_pipe) {
        std::fputs("The firmware came from a pipe, which is gone: name it again in place of "
                   "<firmware>\r\n",
                   stdout);
    }
    end_run(1);
}

void fail_cannot_open(const char* path) {
    std::printf("Can not open [%s]\r\n", shown_name(path).c_str());
    end_run(1);
}
