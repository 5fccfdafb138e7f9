#include "run/exits.h"

#include "line/port.h"
#include "run/image_files.h"
#include "run/state.h"
#include "texts/line_speeds.h"
#include "texts/messages.h"
#include "texts/shown_name.h"

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
    std::fputs(flash_incomplete_text, stdout);
    std::fputs(run_reload_text, stdout);
    print_reload_command();
    end_run(1);
}

void print_reload_command() {
    // Pasted into a shell as it stands: each name one word, whatever it holds.
    // A pipe's name (/dev/fd/63) is gone with this process.
    const bool from_pipe = image_from_pipe(image_file::firmware);
    std::fputs(reload_command_text(port_name, from_pipe ? nullptr : firmware_name,
                                   listed_rate(line_speed), sleeping_waits)
                   .c_str(),
               stdout);
    if (from_pipe) {
        std::fputs(firmware_gone_text, stdout);
    }
}

void fail_naming(const named_text& text, const char* name) {
    // The text is printed, and its string gone, before the run ends: exit
    // returns to no caller that would free it.
    std::fputs(around(text, shown_name(name)).c_str(), stdout);
    end_run(1);
}

void fail_cannot_open(const char* path) {
    fail_naming(cannot_open_text, path);
}
