#include "transfer/image_line.h"

#include "line/exchange.h"
#include "run/state.h"

#include <cstring>

namespace {

// Ends the text in reply at the first byte c, if it holds one before its NUL.
void cut_at(char c) {
    char* found = std::strchr(reply, c);
    if (found != nullptr) {
        *found = '\0';
    }
}

} // namespace

int read_image_line(std::FILE* image) {
    const bool got = std::fgets(reply, image_line_size, image) != nullptr;
    // A read error must not pass for the end of the image (half an image
    // would be taken for the whole), nor a line cut short by one for a line.
    if (std::ferror(image)) {
        return -1;
    }
    return got ? 1 : 0;
}

void send_loader_line() {
    cut_at('\n');
    send_text(reply);
    if (std::strchr(reply, '\r') == nullptr) {
        send_text("\r");
    }
}

int find_firmware_text(std::FILE* image) {
    for (;;) {
        const int got = read_image_line(image);
        if (got <= 0) {
            return got;
        }
        // The text sent ends at the line's first LF, CR or NUL.
        if (std::strcspn(reply, "\r\n") > 0) {
            return 1;
        }
    }
}

void send_firmware_line() {
    cut_at('\n');
    cut_at('\r');
    send_text(reply);
    send_text("\r");
}
