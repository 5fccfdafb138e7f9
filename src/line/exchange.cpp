#include "line/exchange.h"

#include "line/fd_io.h"
#include "line/port.h"
#include "line/wait.h"
#include "run/state.h"

#include <cerrno>
#include <cstring>

namespace {

// Clock time that what has been sent since the last wait for an answer takes
// on the wire; the modem cannot answer before it has all arrived.
std::int64_t on_the_wire_us = 0;

} // namespace

std::size_t send_text(const char* text) {
    const std::size_t length = std::strlen(text);
    std::size_t sent = 0;
    // The clock is read only once a write makes no progress: a write that
    // takes everything at once, as nearly all do, costs no clock reading.
    bool stalled = false;
    std::int64_t stalled_since = 0;
    do {
        const ssize_t written = fd_write(port_fd, text + sent, length - sent);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
            stalled = false;
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            break;
        }
        const std::int64_t now = wait_clock_us();
        if (!stalled) {
            stalled = true;
            stalled_since = now;
        } else if (now >= stalled_since + reply_limit_us) {
            break;
        }
        wait_writable(stalled_since + reply_limit_us);
    } while (sent < length);
    on_the_wire_us += wire_time_us(sent);
    return sent;
}

int read_reply(char* buffer, int max_len) {
    // The first byte is awaited from when what was sent can have left the
    // port: at 300 bit/s a 76-byte line alone is 2.5 s on the wire.
    std::int64_t limit = reply_limit_us + on_the_wire_us;
    on_the_wire_us = 0;
    int count = 0;
    while (count < max_len) {
        // The chunk's clock starts at its first empty read, a read's length
        // later than before the first read: bytes already queued cost no
        // clock reading, which is a system call dearer than the read.
        bool waiting = false;
        std::int64_t start = 0;
        ssize_t got = 0;
        // An empty port reads as 0 or as -1 (EAGAIN); a port that fails reads
        // as -1 too. All of them are silence until the limit.
        for (;;) {
            got = fd_read(port_fd, buffer + count, static_cast<std::size_t>(max_len - count));
            if (got > 0) {
                break;
            }
            const std::int64_t now = wait_clock_us();
            if (!waiting) {
                waiting = true;
                start = now;
            } else if (now >= start + limit) {
                break;
            }
            wait_readable(start + limit);
        }
        if (got <= 0) {
            break;
        }
        count += static_cast<int>(got);
        limit = reply_limit_us;
    }
    buffer[count] = '\0';
    return count;
}

int read_char() {
    return read_reply(reply, 1);
}

int send_command(const char* command) {
    send_text(command);
    return read_reply(reply, reply_max_length);
}

bool reply_contains(const char* text) {
    return std::strstr(reply, text) != nullptr;
}

void pause_ms(std::int64_t ms) {
    wait_until(wait_clock_us() + ms * 1000);
}
