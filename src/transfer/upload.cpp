#include "transfer/upload.h"

#include "run/exits.h"
#include "transfer/acknowledgement.h"
#include "transfer/image_line.h"
#include "transfer/progress.h"

namespace {

enum class phase { loader, firmware };

// Sends the image line in reply as the phase frames it and takes the modem's
// answer.
bool line_accepted(phase which) {
    if (which == phase::loader) {
        send_loader_line();
        return loader_line_accepted();
    }
    send_firmware_line();
    return firmware_line_accepted();
}

// The firmware is only ever uploaded into a Flash that has been erased.
[[noreturn]] void fail_upload(std::FILE* image, phase which, const char* message) {
    std::fclose(image);
    if (which == phase::loader) {
        fail(message);
    }
    fail_flash_incomplete(message);
}

void stream_image(std::FILE* image, phase which) {
    const bool loader = which == phase::loader;
    // The failure messages begin with CR LF to end the progress line first.
    const char* const failure =
        loader ? "\r\nError while loading code\r\n" : "\r\nError while loading Flash\r\n";
    progress_start(loader ? "Moving loader code to the RAM -   0%"
                          : "Loading new firmware code to the Flash -   0%",
                   image);
    int lines = 0;
    for (;;) {
        const int got = read_image_line(image);
        if (got == 0) {
            break;
        }
        if (got < 0 || !line_accepted(which)) {
            fail_upload(image, which, failure);
        }
        ++lines;
        show_progress(image);
    }
    // A firmware that held no line at all (an empty pipe or device; an empty
    // file is refused at start-up) wrote nothing into the erased Flash.
    if (!loader && lines == 0) {
        fail_upload(image, which, failure);
    }
    std::fclose(image);
    progress_end();
}

} // namespace

void upload_loader(std::FILE* loader) {
    stream_image(loader, phase::loader);
}

void upload_firmware(std::FILE* firmware) {
    stream_image(firmware, phase::firmware);
}
