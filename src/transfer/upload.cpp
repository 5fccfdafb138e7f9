#include "transfer/upload.h"

#include "run/exits.h"
#include "transfer/acknowledgement.h"
#include "transfer/image_line.h"
#include "transfer/progress.h"

#include <cstdint>
#include <sys/types.h>

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

// Streams every line of image. False at once when a line cannot be read or
// is refused, and when the image ends before or goes past the size measured
// at its start: another program changed it under the upload.
bool image_streamed(std::FILE* image, phase which) {
    int lines = 0;
    for (;;) {
        const int got = read_image_line(image);
        if (got < 0) {
            return false;
        }
        const std::int64_t position = ftello(image);
        if (got == 0) {
            // A firmware that held no line at all wrote nothing into the
            // erased Flash.
            return position == image_size && (which == phase::loader || lines > 0);
        }
        if (position > image_size || !line_accepted(which)) {
            return false;
        }
        ++lines;
        show_progress(image);
    }
}

void stream_image(std::FILE* image, phase which) {
    const bool loader = which == phase::loader;
    progress_start(loader ? "Moving loader code to the RAM -   0%"
                          : "Loading new firmware code to the Flash -   0%",
                   image);
    const bool streamed = image_streamed(image, which);
    std::fclose(image);
    // The failure messages begin with CR LF to end the progress line first.
    if (!streamed && loader) {
        fail("\r\nError while loading code\r\n");
    }
    // The firmware is only ever uploaded into a Flash that has been erased.
    if (!streamed) {
        fail_flash_incomplete("\r\nError while loading Flash\r\n");
    }
    progress_end();
}

} // namespace

void upload_loader(std::FILE* loader) {
    stream_image(loader, phase::loader);
}

void upload_firmware(std::FILE* firmware) {
    stream_image(firmware, phase::firmware);
}
