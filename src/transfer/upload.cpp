#include "transfer/upload.h"

#include "run/exits.h"
#include "run/state.h"
#include "texts/messages.h"
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

// Streams every line of image. False at once when a line cannot be read or
// is refused, and when what was read differs from what the image's check
// read: another program changed the file since. A line that goes past the
// size checked is never sent.
bool image_streamed(std::FILE* image, phase which, const image_digest& expected) {
    image_digest read;
    for (;;) {
        const int got = read_image_line(image);
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            return same_digest(read, expected);
        }
        digest_add(read, reply, static_cast<std::size_t>(got));
        if (read.size > expected.size || !line_accepted(which)) {
            return false;
        }
        show_progress(read.size);
    }
}

void stream_image(std::FILE* image, phase which, const image_digest& expected) {
    const bool loader = which == phase::loader;
    progress_start(loader ? loader_heading_text : firmware_heading_text, expected.size);
    const bool streamed = image_streamed(image, which, expected);
    std::fclose(image);
    // The failure messages begin with CR LF to end the progress line first.
    if (!streamed && loader) {
        fail(loader_refused_text);
    }
    // The firmware is only ever uploaded into a Flash that has been erased.
    if (!streamed) {
        fail_flash_incomplete(flash_refused_text);
    }
    progress_end();
}

} // namespace

void upload_loader(std::FILE* loader, const image_digest& expected) {
    stream_image(loader, phase::loader, expected);
}

void upload_firmware(std::FILE* firmware, const image_digest& expected) {
    stream_image(firmware, phase::firmware, expected);
}
