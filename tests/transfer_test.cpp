// What is awkward to reach end to end: an image file that fails in the
// middle of an upload, and percentages of images larger than any test file.
#include "harness.h"

#include "line/port.h"
#include "run/state.h"
#include "transfer/progress.h"
#include "transfer/upload.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;

// A stream that delivers content up to fail_at and then fails with EIO; with
// fail_at beyond the content it ends as a file does.
struct failing_source {
    std::string content;
    std::size_t fail_at;
    std::size_t position = 0;
};

ssize_t read_failing(void* cookie, char* buffer, std::size_t size) {
    auto* source = static_cast<failing_source*>(cookie);
    if (source->position == source->content.size() && source->fail_at > source->position) {
        return 0;
    }
    if (source->position >= source->fail_at) {
        errno = EIO;
        return -1;
    }
    const std::size_t n =
        std::min(size, std::min(source->fail_at, source->content.size()) - source->position);
    std::memcpy(buffer, source->content.data() + source->position, n);
    source->position += n;
    return static_cast<ssize_t>(n);
}

std::FILE* open_failing(failing_source& source) {
    cookie_io_functions_t io{read_failing, nullptr, nullptr, nullptr};
    return fopencookie(&source, "r", io);
}

struct read_error_case {
    const char* name;
    bool loader;
    std::size_t fail_at; // of "a\nb\nc\n"
    std::string sent;
    std::string printed;
    int status = 1;
};

class ReadError : public ::testing::TestWithParam<read_error_case> {};

TEST_P(ReadError, EndsTheRunInsteadOfTheUpload) {
    const read_error_case& row = GetParam();
    temp_dir dir;
    const std::string out_path = dir.path + "/out";
    pty_pair pty = open_raw_pty();
    // Every line's answer is queued before the upload starts.
    ASSERT_EQ(write(pty.master, "....", 4), 4);
    wait_until_queued(pty.slave, 4);
    // The upload ends the process on failure: run it in a child of its own.
    const auto upload = [&] {
        std::freopen(out_path.c_str(), "w", stdout);
        alloc_buffers();
        port_fd = open(pty.slave_path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
        failing_source source{"a\nb\nc\n", row.fail_at};
        std::FILE* image = open_failing(source);
        if (row.loader) {
            upload_loader(image);
        } else {
            upload_firmware(image);
        }
        std::exit(0);
    };
    EXPECT_EXIT(upload(), ::testing::ExitedWithCode(row.status), "");
    EXPECT_EQ(read_file(out_path), row.printed);
    fcntl(pty.master, F_SETFL, O_NONBLOCK);
    char sent[64] = {};
    const ssize_t n = read(pty.master, sent, sizeof sent);
    EXPECT_EQ(std::string(sent, n > 0 ? static_cast<std::size_t>(n) : 0), row.sent);
    close_pty(pty);
}

const std::string loader_failed = "\r\nError while loading code\r\n";
const std::string firmware_failed = "\r\nError while loading Flash\r\n";

INSTANTIATE_TEST_SUITE_P(
    Upload, ReadError,
    ::testing::Values(
        read_error_case{"LoaderAtStart", true, 0, "", loader_heading + loader_failed},
        read_error_case{"LoaderAfterTwoLines", true, 4, "a\rb\r", loader_heading + loader_failed},
        read_error_case{"LoaderMidLine", true, 5, "a\rb\r", loader_heading + loader_failed},
        read_error_case{"FirmwareAfterOneLine", false, 2, "a\r",
                        firmware_heading + firmware_failed},
        // For contrast: the same stream read to its end is a whole image.
        read_error_case{"LoaderNoError", true, 7, "a\rb\rc\r", loader_heading + "\r\n", 0},
        read_error_case{"FirmwareNoError", false, 7, "a\rb\rc\r", firmware_heading + "\r\n", 0}),
    [](const ::testing::TestParamInfo<read_error_case>& info) { return info.param.name; });

struct percent_case {
    const char* name;
    std::int64_t size;
    std::int64_t position;
    std::int64_t shown;
    std::string printed;
};

class Percentage : public ::testing::TestWithParam<percent_case> {};

TEST_P(Percentage, IsFormedWithoutOverflowOrDivisionByZero) {
    const percent_case& row = GetParam();
    temp_dir dir;
    std::FILE* image = std::fopen(dir.file("image", "x").c_str(), "r");
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(fseeko(image, row.position, SEEK_SET), 0);
    image_size = row.size;
    shown_percent = row.shown;

    const std::string out_path = dir.path + "/out";
    std::fflush(stdout);
    const int saved = dup(1);
    const int capture = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(capture, 1);
    show_progress(image);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(capture);
    std::fclose(image);
    EXPECT_EQ(read_file(out_path), row.printed);
}

INSTANTIATE_TEST_SUITE_P(
    Progress, Percentage,
    ::testing::Values(
        percent_case{"Tenth", 1000, 100, 0, "\b\b\b\b 10%"},
        percent_case{"StillZero", 1000, 5, 0, ""}, percent_case{"Unchanged", 1000, 505, 50, ""},
        percent_case{"Whole", 1000, 1000, 99, "\b\b\b\b100%"},
        percent_case{"EmptySize", 0, 0, 0, ""}, percent_case{"UnknownSize", -1, 10, 0, ""},
        percent_case{"BeyondThirtyTwoBitProduct", 30000000, 29999999, 0, "\b\b\b\b 99%"},
        percent_case{"ThreeGigabytes", 3000000000, 1500000000, 0, "\b\b\b\b 50%"}),
    [](const ::testing::TestParamInfo<percent_case>& info) { return info.param.name; });

} // namespace
