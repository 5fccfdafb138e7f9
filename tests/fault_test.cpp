// Runs that go wrong on the line or in the images, end to end: a modem that
// vanishes mid-upload, binary images, very long lines. Each
// must end with the right message and status, and nothing may hang.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

struct vanish_case {
    const char* name;
    bool in_loader;
    int line;
    std::string message;
};

class Vanish : public ::testing::TestWithParam<vanish_case> {};

TEST_P(Vanish, EndsTheUploadWithItsFailure) {
    const vanish_case& row = GetParam();
    const std::string images = ROMUP_IMAGES_DIR;
    run_options options;
    options.args = {"-p{port}", "-f" + images + "/firmware.hex", "-l" + images + "/ramagent.hex"};
    options.answer = "y\n";
    options.modem.erase_ms = 0;
    (row.in_loader ? options.modem.vanish_at_loader_line : options.modem.vanish_at_firmware_line) =
        row.line;
    const run_result run = run_romup(options);
    const std::string hint = row.in_loader ? ""
                                           : reload_hint(run.port_path, images + "/firmware.hex",
                                                         19200, run.sleeping_waits);
    EXPECT_TRUE(ends_with(run.out, row.message + hint)) << run.out;
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.line.vanished);
    EXPECT_EQ(run.err, "");
}

const std::string code_failed = "\r\nError while loading code\r\n";
const std::string flash_failed = "\r\nError while loading Flash\r\n";

INSTANTIATE_TEST_SUITE_P(Fault, Vanish,
                         ::testing::Values(vanish_case{"FirstLoaderLine", true, 1, code_failed},
                                           vanish_case{"MidLoader", true, 40, code_failed},
                                           vanish_case{"FirstFirmwareLine", false, 1, flash_failed},
                                           vanish_case{"MidFirmware", false, 200, flash_failed}),
                         row_name{});

const std::string loader_sent = probe_commands + ":00\r:00000001FF\rREPROGRAM\r";

TEST(Fault, BinaryBytesInImagesAndReplies) {
    std::string binary;
    for (int value = 1; value < 256; ++value) {
        if (value != '\n' && value != '\r' && value != 'X') {
            binary += static_cast<char>(value);
        }
    }
    small_run setup(":00\n" + eof_record, binary + "\n" + binary, "y\n");
    const std::string announcement = "\x01\xff READY \x1b[2J\x7f\b";
    setup.options.modem.loader_ready = announcement;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.line.received, loader_sent + binary + "\r" + binary + "\r" + restart_commands);
    EXPECT_NE(without_warnings(run.out).find(question(announcement, setup.firmware)),
              std::string::npos);
    EXPECT_EQ(run.status, 0);
}

TEST(Fault, LineOfHundredKilobytes) {
    std::string long_line;
    for (int i = 0; long_line.size() < 100000; ++i) {
        long_line += static_cast<char>('a' + i % 26);
    }
    const run_result run =
        run_romup(small_run(":00\n" + eof_record, long_line + "\n", "y\n").options);
    // Cut into image lines of 1023 bytes, each sent with its CR.
    EXPECT_EQ(run.line.received,
              loader_sent + frame(long_line + "\n", false).bytes + restart_commands);
    EXPECT_EQ(run.status, 0);
}

} // namespace
