// What is awkward to reach end to end: an image file that fails in the
// middle of an upload or of the start-up scan for text, and percentages of
// images larger than any test file.
#include "harness.h"
#include "memory_image.h"
#include "test_port.h"

#include "run/state.h"
#include "transfer/image_line.h"
#include "transfer/progress.h"
#include "transfer/upload.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

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
    test_port port;
    // Every line's answer is queued before the upload starts.
    port.peer_sends("....");
    // The upload ends the process on failure: run it in a child of its own.
    const auto upload = [&] {
        std::freopen(out_path.c_str(), "w", stdout);
        // Not seekable: no percentage, as of a pipe.
        memory_image source{"a\nb\nc\n", row.fail_at, false};
        std::FILE* image = open_memory_image(source);
        if (row.loader) {
            upload_loader(image);
        } else {
            upload_firmware(image);
        }
        std::exit(0);
    };
    EXPECT_EXIT(upload(), ::testing::ExitedWithCode(row.status), "");
    EXPECT_EQ(read_file(out_path), row.printed);
    EXPECT_EQ(port.peer_receives(), row.sent);
}

const std::string loader_failed = "\r\nError while loading code\r\n";
const std::string firmware_failed = "\r\nError while loading Flash\r\n";

INSTANTIATE_TEST_SUITE_P(
    Upload, ReadError,
    ::testing::Values(
        read_error_case{"LoaderAtStart", true, 0, "", loader_heading + loader_failed},
        read_error_case{"LoaderAfterTwoLines", true, 4, "a\rb\r", loader_heading + loader_failed},
        read_error_case{"LoaderMidLine", true, 5, "a\rb\r", loader_heading + loader_failed},
        // No port or firmware is named here: the re-load command shows them empty.
        read_error_case{"FirmwareAfterOneLine", false, 2, "a\r",
                        firmware_heading + firmware_failed + reload_hint("", "", 19200)},
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
    {
        stdout_to_file capture(out_path);
        show_progress(image);
    }
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

struct text_case {
    const char* name;
    std::string content;
    std::size_t fail_at; // reads fail from here on
    int found;           // 1: a line with text, 0: none, -1: the file failed
};

class FirmwareText : public ::testing::TestWithParam<text_case> {};

// A read error must not pass for an empty firmware: the file is unreadable,
// not empty.
TEST_P(FirmwareText, IsFoundOrTheFileFails) {
    const text_case& row = GetParam();
    alloc_buffers();
    memory_image source{row.content, row.fail_at};
    std::FILE* image = open_memory_image(source);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(find_firmware_text(image), row.found);
    std::fclose(image);
    free_buffers();
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, FirmwareText,
    ::testing::Values(text_case{"FirstLine", "ab\n", std::string::npos, 1},
                      text_case{"AfterBlankLines", "\n\r\nab\n", std::string::npos, 1},
                      text_case{"OnlyBlankLines", "\n\r\n\n", std::string::npos, 0},
                      text_case{"NulStartsTheLine", std::string("\0ab\n", 4), std::string::npos, 0},
                      text_case{"ReadErrorAmongBlankLines", "\n\n\nab\n", 2, -1}),
    [](const ::testing::TestParamInfo<text_case>& info) { return info.param.name; });

} // namespace
