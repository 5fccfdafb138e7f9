// A firmware of 64 MiB streams whole: every byte on the line, every
// percentage once. The upload runs in this process against a peer thread
// that answers each line, with a clock that stands still (still_clock.cpp),
// so that however busy the machine, no limit can run out; the test's
// deadline catches an upload that hangs.
#include "harness.h"
#include "test_port.h"

#include "transfer/upload.h"

#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <numeric>
#include <poll.h>
#include <thread>

namespace {

constexpr int file_lines = 65536;
constexpr std::size_t line_length = 1023;

TEST(BigImage, SixtyFourMebibyteFirmware) {
    deadline_guard guard{100};
    temp_dir dir;
    std::string content;
    content.reserve(file_lines * (line_length + 1));
    for (int i = 0; i < file_lines; ++i) {
        content += std::string(line_length, 'd') + "\n";
    }
    const std::string path = dir.file("fw.hex", content);
    const image_digest checked = digest_of(content);
    content = std::string();
    test_port port(line_kind::socket_pair);

    // The modem's part: answers every CR with "." and counts the bytes that
    // differ from the framing of the image, 1023 "d", then a CR, then the CR
    // of the empty image line that the LF left over makes.
    const long long expected = static_cast<long long>(file_lines) * (line_length + 2);
    long long bytes = 0;
    long long wrong_bytes = 0;
    int lines = 0;
    std::thread modem([&] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        char chunk[65536];
        while (bytes < expected && std::chrono::steady_clock::now() < give_up) {
            pollfd ready{port.peer, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) {
                continue;
            }
            const long n = read_some(port.peer, chunk, sizeof chunk);
            if (n <= 0) {
                return;
            }
            std::string acks;
            for (long i = 0; i < n; ++i, ++bytes) {
                wrong_bytes += chunk[i] != (bytes % (line_length + 2) < line_length ? 'd' : '\r');
                if (chunk[i] == '\r') {
                    acks += '.';
                    ++lines;
                }
            }
            write_all(port.peer, acks);
        }
    });

    const std::string printed = dir.path + "/out";
    {
        stdout_to_file capture(printed);
        upload_firmware(std::fopen(path.c_str(), "r"), checked);
    }
    modem.join();

    std::vector<int> every_percent(100);
    std::iota(every_percent.begin(), every_percent.end(), 1);
    EXPECT_EQ(read_file(printed), progress_line(firmware_heading, every_percent));
    EXPECT_EQ(lines, 2 * file_lines);
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(wrong_bytes, 0);
}

} // namespace
