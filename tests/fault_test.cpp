// Images that no text editor would write, end to end: binary bytes in the
// images and the loader's reply, and a line of a hundred kilobytes.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

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
