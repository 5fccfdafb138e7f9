// An image cut at every length streams without fault in both phases, and the
// bytes on the line are always exactly the framing of that content: the
// uploads called directly, with every answer queued on the line beforehand.
#include "harness.h"

#include "line/port.h"
#include "run/state.h"
#include "transfer/upload.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// The framing, from the rules: image lines are what fgets with 1024 gives
// (at most 1023 bytes, up to and including an LF); the loader phase sends
// the text before the LF and before a NUL, plus a CR unless the text holds
// one; the firmware phase sends the text before the first LF or CR (and
// before a NUL), plus a CR.
struct framing {
    std::string bytes;
    int lines = 0;
};

framing frame(const std::string& content, bool loader) {
    framing result;
    std::size_t at = 0;
    while (at < content.size()) {
        std::size_t end = at;
        while (end < content.size() && end - at < 1023) {
            if (content[end++] == '\n') {
                break;
            }
        }
        std::string line = content.substr(at, end - at);
        at = end;
        ++result.lines;
        std::string text = line.substr(0, line.find_first_of(std::string("\n\0", 2)));
        if (loader) {
            result.bytes += text;
            if (text.find('\r') == std::string::npos) {
                result.bytes += '\r';
            }
        } else {
            result.bytes += text.substr(0, text.find('\r')) + '\r';
        }
    }
    return result;
}

std::string sample_content() {
    std::string content = ":10000000AB\r\nplain\n\nmid\rdle\n";
    content += std::string(1500, 'L') + "\n";
    content += std::string(1022, 'M') + "\r\n";
    content += std::string("nul\0after\rx\n", 12);
    content += "\r\n\r\nlast line without end";
    return content;
}

TEST(Truncation, EveryLengthFramesExactly) {
    const std::string content = sample_content();
    temp_dir dir;
    pty_pair pty = open_raw_pty();
    alloc_buffers();
    port_fd = open(pty.slave_path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    ASSERT_NE(port_fd, -1);
    // The progress lines would flood the test's output.
    std::fflush(stdout);
    const int saved_out = dup(1);
    const int null_out = open("/dev/null", O_WRONLY);
    dup2(null_out, 1);

    for (const bool loader : {true, false}) {
        for (std::size_t length = content.size(); length >= 1; --length) {
            const std::string image = content.substr(0, length);
            const framing expected = frame(image, loader);
            const std::string path = dir.file("image", image);
            std::string acks(static_cast<std::size_t>(expected.lines), '.');
            ASSERT_EQ(write(pty.master, acks.data(), acks.size()),
                      static_cast<ssize_t>(acks.size()));
            wait_until_queued(port_fd, static_cast<int>(acks.size()));
            // Read what romup sends as it goes: the line buffers only so much.
            std::string sent;
            std::atomic<bool> done{false};
            std::thread reader([&] {
                char chunk[4096];
                fcntl(pty.master, F_SETFL, O_NONBLOCK);
                // The bytes reach this side a little after romup wrote them:
                // wait for all that are expected, then for any beyond them.
                const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                bool settling = false;
                for (;;) {
                    const ssize_t n = read(pty.master, chunk, sizeof chunk);
                    if (n > 0) {
                        sent.append(chunk, static_cast<std::size_t>(n));
                        continue;
                    }
                    if (settling || std::chrono::steady_clock::now() > give_up) {
                        break;
                    }
                    if (done && sent.size() >= expected.bytes.size()) {
                        settling = true;
                        usleep(2000);
                    } else {
                        usleep(100);
                    }
                }
            });
            std::FILE* file = std::fopen(path.c_str(), "r");
            if (loader) {
                upload_loader(file);
            } else {
                upload_firmware(file);
            }
            done = true;
            reader.join();
            ASSERT_EQ(sent, expected.bytes) << (loader ? "loader" : "firmware") << " " << length;
        }
    }
    std::fflush(stdout);
    dup2(saved_out, 1);
    close(saved_out);
    close(null_out);
    close(port_fd);
    port_fd = -1;
    free_buffers();
    close_pty(pty);
}

} // namespace
