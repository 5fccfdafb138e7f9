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
    // fgets's reading, with the count it does not give: the upload digests
    // exactly the bytes it read, NULs included.
    int count = 0;
    while (count < image_line_size - 1) {
        const int c = getc_unlocked(image);
        if (c == EOF) {
            break;
        }
        reply[count++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    reply[count] = '\0';
    // A read error must not pass for the end of the image (half an image
    // would be taken for the whole), nor a line cut short by one for a line.
    if (std::ferror(image)) {
        return -1;
    }
    return count;
}

namespace {

// The text and its CR go out in one write: a romup killed between two
// writes would leave the loader holding half a line, before which the "X" of
// the re-load that should save the modem is no command. An image line is at
// most 1023 bytes, so reply has room for the CR and the NUL after it.
void send_with_cr() {
    const std::size_t length = std::strlen(reply);
    reply[length] = '\r';
    reply[length + 1] = '\0';
    send_text(reply);
}

} // namespace

void send_loader_line() {
    cut_at('\n');
    if (std::strchr(reply, '\r') == nullptr) {
        send_with_cr();
    } else {
        send_text(reply);
    }
}

void send_firmware_line() {
    cut_at('\n');
    cut_at('\r');
    send_with_cr();
}
