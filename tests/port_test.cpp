// The serial port's settings as romup leaves them, read back from the
// pseudo-terminal after the run; and the signals it guards against while the
// port is open.
#include "harness.h"
#include "rows.h"

#include <csignal>
#include <gtest/gtest.h>
#include <termios.h>

namespace {

using test_rows::operator<<;

struct speed_case {
    const char* name;
    const char* option; // nullptr: no -s
    speed_t expected;
};

class PortSpeed : public ::testing::TestWithParam<speed_case> {};

TEST_P(PortSpeed, SelectsHighestRateNotAbove) {
    const speed_case& row = GetParam();
    temp_dir dir;
    run_options options;
    options.args = {"-p{port}", "-f" + dir.file("fw.hex", "x\n"), "-c"};
    if (row.option != nullptr) {
        options.args.push_back(row.option);
    }
    options.answer = "n";
    options.modem.silent = true;
    const run_result run = run_romup(options);
    ASSERT_TRUE(run.have_settings);
    EXPECT_EQ(run.ospeed, row.expected);
    EXPECT_EQ(run.ispeed, row.expected);
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Port, PortSpeed,
    ::testing::Values(
        speed_case{"Default", nullptr, B19200}, speed_case{"S300", "-s300", B300},
        speed_case{"S115200", "-s115200", B115200}, speed_case{"S299", "-s299", B300},
        speed_case{"S0", "-s0", B300}, speed_case{"NoDigits", "-s", B300},
        speed_case{"Negative", "-s-9600", B300}, speed_case{"S14400", "-s14400", B9600},
        speed_case{"S56000", "-s56000", B38400}, speed_case{"S57600", "-s57600", B57600},
        speed_case{"S100000", "-s100000", B57600}, speed_case{"S230400", "-s230400", B115200},
        speed_case{"LettersAfterDigits", "/S9600baud", B9600},
        speed_case{"BeyondThirtyTwoBits", "-s99999999999", B115200},
        speed_case{"BelowThirtyTwoBits", "-s-99999999999", B300}),
    row_name{});

TEST(Port, StaysRawAfterTheRun) {
    temp_dir dir;
    run_options options;
    options.args = {"-p{port}", "-f" + dir.file("fw.hex", "x\n"), "-c", "-s57600"};
    options.answer = "n";
    const run_result run = run_romup(options);
    ASSERT_TRUE(run.have_settings);
    EXPECT_EQ(run.iflag, static_cast<unsigned long>(IGNBRK | IGNPAR));
    EXPECT_EQ(run.oflag, 0u);
    EXPECT_EQ(run.lflag, static_cast<unsigned long>(NOFLSH));
    const unsigned long wanted = CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
    EXPECT_EQ(run.cflag & (wanted | PARENB | CSTOPB | CSIZE), wanted);
    EXPECT_EQ(run.vmin, 0);
    EXPECT_EQ(run.vtime, 0);
    EXPECT_EQ(run.ospeed, static_cast<unsigned long>(B57600));
}

} // namespace
