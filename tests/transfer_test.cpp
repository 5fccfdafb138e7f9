// What is awkward to reach end to end: an image file that fails or differs
// from its check in the middle of an upload, and percentages of images
// larger than any test file; and the percentages an upload shows as it goes.
#include "harness.h"
#include "memory_image.h"
#include "test_port.h"

#include "line/port.h"
#include "run/state.h"
#include "transfer/image_line.h"
#include "transfer/progress.h"
#include "transfer/upload.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <numeric>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;

struct read_error_case {
    const char* name;
    bool loader;
    std::size_t fail_at; // where reads of content fail
    std::string sent;
    std::vector<int> percents; // shown before the end
    std::string ending;        // what follows them
    int status = 1;
    std::string checked = "a\nb\nc\n"; // what the image's check read
    std::string content = "a\nb\nc\n"; // what the stream holds
};

// A loader image of count copies of line, read to its end.
read_error_case whole_loader(const char* name, int count, const std::string& line,
                             std::vector<int> percents) {
    std::string content;
    for (int i = 0; i < count; ++i) {
        content += line;
    }
    const std::string sent = frame(content, true).bytes;
    return {name, true, std::string::npos, sent, std::move(percents), "\r\n", 0, content, content};
}

std::vector<int> one_to(int last) {
    std::vector<int> percents(static_cast<std::size_t>(last));
    std::iota(percents.begin(), percents.end(), 1);
    return percents;
}

class ReadError : public ::testing::TestWithParam<read_error_case> {};

TEST_P(ReadError, EndsTheRunInsteadOfTheUpload) {
    const read_error_case& row = GetParam();
    temp_dir dir;
    const std::string out_path = dir.path + "/out";
    test_port port;
    // Every line's answer is queued before the upload starts.
    port.peer_sends(std::string(static_cast<std::size_t>(frame(row.content, true).lines), '.'));
    // The upload ends the process on failure: run it in a child of its own.
    const auto upload = [&] {
        std::freopen(out_path.c_str(), "w", stdout);
        // Not seekable, as a pipe: the size is the check's, not the stream's.
        memory_image source{row.content, row.fail_at, false};
        std::FILE* image = open_memory_image(source);
        if (row.loader) {
            upload_loader(image, digest_of(row.checked));
        } else {
            upload_firmware(image, digest_of(row.checked));
        }
        std::exit(0);
    };
    EXPECT_EXIT(upload(), ::testing::ExitedWithCode(row.status), "");
    const std::string heading = row.loader ? loader_heading : firmware_heading;
    std::string printed = progress_line(heading, row.percents);
    printed.resize(printed.size() - 2); // its CR LF
    EXPECT_EQ(read_file(out_path), printed + row.ending);
    EXPECT_EQ(port.peer_receives(), row.sent);
}

const std::string code_failed = "\r\nError while loading code\r\n";
// No port or firmware is named here: the re-load command shows them empty.
const std::string flash_failed =
    "\r\nError while loading Flash\r\n" + reload_hint("''", "''", 19200, false);
const std::string whole = "a\rb\rc\r"; // the whole image as sent

INSTANTIATE_TEST_SUITE_P(
    Upload, ReadError,
    ::testing::Values(
        read_error_case{"LoaderAtStart", true, 0, "", {}, code_failed},
        read_error_case{"LoaderAfterTwoLines", true, 4, "a\rb\r", {33, 66}, code_failed},
        read_error_case{"LoaderMidLine", true, 5, "a\rb\r", {33, 66}, code_failed},
        read_error_case{"FirmwareAfterOneLine", false, 2, "a\r", {33}, flash_failed},
        // For contrast: the same stream read to its end is a whole image.
        read_error_case{"LoaderNoError", true, 7, whole, {33, 66, 100}, "\r\n", 0},
        read_error_case{"FirmwareNoError", false, 7, whole, {33, 66, 100}, "\r\n", 0},
        // The file read to its end, but not the bytes its check read: a line
        // rewritten in place, a file cut or grown since. A line beyond the
        // checked size is never sent.
        read_error_case{
            "FirmwareRewritten", false, 7, whole, {33, 66, 100}, flash_failed, 1, "a\nB\nc\n"},
        read_error_case{
            "FirmwareCutSince", false, 7, whole, {25, 50, 75}, flash_failed, 1, "a\nb\nc\nd\n"},
        read_error_case{
            "FirmwareGrownSince", false, 7, "a\rb\r", {50, 100}, flash_failed, 1, "a\nb\n"},
        read_error_case{
            "LoaderRewritten", true, 7, whole, {33, 66, 100}, code_failed, 1, "a\nb\nC\n"},
        // Each percentage once; with lines of less than 1% each, every one.
        whole_loader("LoaderTenLinesOfHundred", 10, ":" + std::string(98, 'a') + "\n",
                     {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}),
        whole_loader("LoaderOneLine", 1, ":abc\n", {100}), whole_loader("LoaderEmpty", 0, "", {}),
        whole_loader("LoaderHundredAndOneLines", 201, ":a\n", one_to(100))),
    row_name{});

struct percent_case {
    const char* name;
    std::int64_t size;
    std::vector<std::int64_t> positions; // after each line, in turn
    std::string printed;
};

class Percentage : public ::testing::TestWithParam<percent_case> {};

TEST_P(Percentage, IsFormedWithoutOverflowOrDivisionByZero) {
    const percent_case& row = GetParam();
    temp_dir dir;
    const std::string out_path = dir.path + "/out";
    {
        stdout_to_file capture(out_path);
        progress_start("", row.size);
        for (const std::int64_t position : row.positions) {
            show_progress(position);
        }
    }
    EXPECT_EQ(read_file(out_path), row.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Progress, Percentage,
    ::testing::Values(percent_case{"Tenth", 1000, {100}, "\b\b\b\b 10%"},
                      percent_case{"StillZero", 1000, {5}, ""},
                      percent_case{"Unchanged", 1000, {500, 505}, "\b\b\b\b 50%"},
                      percent_case{"Whole", 1000, {990, 1000}, "\b\b\b\b 99%\b\b\b\b100%"},
                      percent_case{"EmptySize", 0, {0}, ""},
                      percent_case{"UnknownSize", -1, {10}, ""},
                      percent_case{
                          "BeyondThirtyTwoBitProduct", 30000000, {29999999}, "\b\b\b\b 99%"},
                      percent_case{"ThreeGigabytes", 3000000000, {1500000000}, "\b\b\b\b 50%"}),
    row_name{});

// Each image line goes out as one write, its CR included: a romup killed
// between two writes would leave the loader holding half a line. A socket
// pair that keeps each write a packet of its own shows the writes.
struct one_write_case {
    const char* name;
    bool loader;
    std::string line;   // as read into reply
    std::string packet; // the one write
};

class OneWrite : public ::testing::TestWithParam<one_write_case> {};

TEST_P(OneWrite, TheLineAndItsCrGoOutTogether) {
    const one_write_case& row = GetParam();
    test_port port(line_kind::socket_pair, true);
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    const int romups_port = port_fd;
    port_fd = ends[0];
    std::memcpy(reply, row.line.data(), row.line.size());
    reply[row.line.size()] = '\0';
    if (row.loader) {
        send_loader_line();
    } else {
        send_firmware_line();
    }
    port_fd = romups_port;
    char packet[reply_size + 16];
    const ssize_t got = recv(ends[1], packet, sizeof packet, MSG_DONTWAIT);
    ASSERT_GE(got, 0);
    EXPECT_EQ(std::string(packet, static_cast<std::size_t>(got)), row.packet);
    EXPECT_EQ(recv(ends[1], packet, sizeof packet, MSG_DONTWAIT), -1);
    close(ends[0]);
    close(ends[1]);
}

const std::string longest(image_line_size - 1, 'a');

const one_write_case one_write_cases[] = {
    {"FirmwareLine", false, "abc\n", "abc\r"},
    {"FirmwareCrLf", false, "abc\r\n", "abc\r"},
    {"FirmwareCrInside", false, "ab\rcd\n", "ab\r"},
    {"FirmwareEmpty", false, "\n", "\r"},
    {"FirmwareNul", false, std::string("ab\0cd\n", 6), "ab\r"},
    {"FirmwareLongest", false, longest, longest + "\r"},
    {"LoaderLine", true, "abc\n", "abc\r"},
    {"LoaderCrInside", true, "ab\rcd\n", "ab\rcd"},
    {"LoaderCrLf", true, "abc\r\n", "abc\r"},
    {"LoaderLastWithoutLf", true, "abc", "abc\r"},
    {"LoaderLongest", true, longest, longest + "\r"},
};

INSTANTIATE_TEST_SUITE_P(Framing, OneWrite, ::testing::ValuesIn(one_write_cases), row_name());

} // namespace
