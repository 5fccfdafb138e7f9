// The rate and the port speed romup takes from each -s value, in this
// process; and the serial port's settings as romup leaves them, read back
// from the pseudo-terminal after a run.
#include "harness.h"

#include "line/port.h"
#include "run/command_line.h"
#include "run/state.h"
#include "texts/line_speeds.h"

#include <climits>
#include <gtest/gtest.h>
#include <termios.h>

namespace {

using test_rows::operator<<;

struct rate_case {
    const char* name;
    std::int32_t rate;
    speed_t speed;
    speed_t below; // for rate - 1
};

class SpeedTable : public ::testing::TestWithParam<rate_case> {};

TEST_P(SpeedTable, SelectsHighestRateNotAbove) {
    const rate_case& row = GetParam();
    EXPECT_EQ(speed_for_rate(row.rate), row.speed);
    EXPECT_EQ(speed_for_rate(row.rate + 1), row.speed);
    EXPECT_EQ(speed_for_rate(row.rate - 1), row.below);
    EXPECT_EQ(listed_rate(row.rate), row.rate);
    EXPECT_EQ(listed_rate(row.rate + 1), row.rate);
}

INSTANTIATE_TEST_SUITE_P(
    Port, SpeedTable,
    ::testing::Values(
        // Each listed rate selects its own speed, and so does every rate up to the next one;
        // below it the one before is selected (below 300, 300).
        rate_case{"R300", 300, B300, B300}, rate_case{"R600", 600, B600, B300},
        rate_case{"R1200", 1200, B1200, B600}, rate_case{"R2400", 2400, B2400, B1200},
        rate_case{"R4800", 4800, B4800, B2400}, rate_case{"R9600", 9600, B9600, B4800},
        rate_case{"R19200", 19200, B19200, B9600}, rate_case{"R38400", 38400, B38400, B19200},
        rate_case{"R57600", 57600, B57600, B38400}, rate_case{"R115200", 115200, B115200, B57600}),
    row_name{});

struct speed_case {
    const char* name;
    const char* option; // nullptr: no -s
    std::int32_t rate;  // as atoi reads the value, but saturated at the ends of the 32-bit range
    speed_t expected;
};

class PortSpeed : public ::testing::TestWithParam<speed_case> {};

// The -s option as the command line reads it, to the speed the port is set to.
TEST_P(PortSpeed, SelectsHighestRateNotAbove) {
    const speed_case& row = GetParam();
    std::vector<std::string> args = {"romup", "-p/dev/null", "-fx.hex", "-ll.hex"};
    if (row.option != nullptr) {
        args.emplace_back(row.option);
    }
    std::vector<char*> argv = argv_of(args);
    alloc_buffers();
    EXPECT_TRUE(read_command_line(static_cast<int>(args.size()), argv.data()));
    EXPECT_EQ(line_speed, row.rate);
    EXPECT_EQ(speed_for_rate(line_speed), row.expected);
    // Set back after the row, not before it: the row without -s sees the speed romup starts with.
    line_speed = default_line_speed;
    free_buffers();
}

using row = speed_case;

INSTANTIATE_TEST_SUITE_P(
    Port, PortSpeed,
    ::testing::Values(
        row{"Default", nullptr, 19200, B19200}, row{"S19200", "-s19200", 19200, B19200},
        row{"S300", "-s300", 300, B300}, row{"S115200", "-s115200", 115200, B115200},
        row{"S299", "-s299", 299, B300}, row{"S0", "-s0", 0, B300}, row{"NoDigits", "-s", 0, B300},
        row{"Letters", "-sabc", 0, B300}, row{"Negative", "-s-9600", -9600, B300},
        row{"S14400", "-s14400", 14400, B9600}, row{"S56000", "-s56000", 56000, B38400},
        row{"S57600", "-s57600", 57600, B57600}, row{"S100000", "-s100000", 100000, B57600},
        row{"S230400", "-s230400", 230400, B115200},
        row{"LettersAfterDigits", "/S9600baud", 9600, B9600},
        row{"DashLettersAfterDigits", "-s9600abc", 9600, B9600},
        row{"BlanksAndPlusFirst", "-s  \t+4800", 4800, B4800},
        row{"BlankAfterSign", "-s- 5", 0, B300}, row{"TwoSigns", "-s+-5", 0, B300},
        row{"LeadingZeros", "-s00000000000000000000115200", 115200, B115200},
        row{"IntMax", "-s2147483647", INT_MAX, B115200},
        row{"AboveIntMax", "-s2147483648", INT_MAX, B115200},
        row{"BeyondThirtyTwoBits", "-s99999999999", INT_MAX, B115200},
        row{"BeyondSixtyFourBits", "-s99999999999999999999999", INT_MAX, B115200},
        row{"IntMin", "-s-2147483648", INT_MIN, B300},
        row{"BelowIntMin", "-s-2147483649", INT_MIN, B300},
        row{"BelowThirtyTwoBits", "-s-99999999999", INT_MIN, B300},
        row{"BelowSixtyFourBits", "-s-99999999999999999999999", INT_MIN, B300}),
    row_name{});

// The port's settings as a whole run leaves them, the speed in both directions.
TEST(Port, StaysRawAfterTheRun) {
    small_run setup("", "x\n", "n");
    setup.options.args.back() = "-c";
    setup.options.args.push_back("-s57600");
    const run_result run = run_romup(setup.options);
    ASSERT_TRUE(run.have_settings);
    EXPECT_EQ(run.iflag, static_cast<unsigned long>(IGNBRK | IGNPAR));
    EXPECT_EQ(run.oflag, 0u);
    EXPECT_EQ(run.lflag, static_cast<unsigned long>(NOFLSH));
    const unsigned long wanted = CS8 | CREAD | HUPCL | CLOCAL | CRTSCTS;
    EXPECT_EQ(run.cflag & (wanted | PARENB | CSTOPB | CSIZE), wanted);
    EXPECT_EQ(run.vmin, 0);
    EXPECT_EQ(run.vtime, 0);
    EXPECT_EQ(run.ospeed, static_cast<unsigned long>(B57600));
    EXPECT_EQ(run.ispeed, static_cast<unsigned long>(B57600));
}

} // namespace
