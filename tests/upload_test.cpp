// The two uploads: which acknowledgements accept a line, in this process over
// romup's own port; and a whole run of each phase as the road of that rule
// and of the framing (whose rows are in truncation_test.cpp).
#include "harness.h"
#include "test_port.h"

#include "transfer/acknowledgement.h"

#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

enum class phase { loader, firmware };

struct ack_case {
    const char* name;
    phase where;
    std::string ack;  // the modem's answer to the first of two lines
    int failing_line; // 0: both accepted
};

class Acknowledgement : public ::testing::TestWithParam<ack_case> {};

// The answer to the first line, then "." to the second once it is asked for:
// a byte the first answer left queued is the second line's answer.
TEST_P(Acknowledgement, AcceptsOrRefuses) {
    const ack_case& row = GetParam();
    test_port port;
    const auto accepted =
        row.where == phase::loader ? loader_line_accepted : firmware_line_accepted;
    port.peer_sends(row.ack);
    const bool first = accepted();
    EXPECT_EQ(first, row.failing_line != 1);
    if (first) {
        port.peer_sends(".");
        EXPECT_EQ(accepted(), row.failing_line == 0);
    }
}

const ack_case loader_eight_with_three_bytes{"LoaderEightWithThreeBytes", phase::loader, "8abc", 2};
const ack_case firmware_carriage_return_with_two_bytes{"FirmwareCarriageReturnWithTwoBytes",
                                                       phase::firmware, "\rzq", 2};

INSTANTIATE_TEST_SUITE_P(
    BothPhases, Acknowledgement,
    ::testing::Values(ack_case{"LoaderCarriageReturn", phase::loader, "\r", 0},
                      ack_case{"LoaderDot", phase::loader, ".", 0},
                      ack_case{"LoaderZeroWithItsByte", phase::loader, "0\r", 0},
                      ack_case{"LoaderZeroThenSilence", phase::loader, "0", 0},
                      ack_case{"LoaderEightWithTwoBytes", phase::loader, "8\r\n", 0},
                      ack_case{"LoaderEightWithOneByte", phase::loader, "8\r", 0},
                      ack_case{"LoaderEightThenSilence", phase::loader, "8", 0},
                      // The byte after the two that "8" brings is the next line's answer.
                      loader_eight_with_three_bytes,
                      ack_case{"LoaderZeroWithTwoBytes", phase::loader, "0ab", 2},
                      // The byte after "0" is its own, whatever it is: never the next answer.
                      ack_case{"LoaderZeroWithALetter", phase::loader, "0E", 0},
                      // CR and "." bring no further byte, unlike CR in the firmware phase.
                      ack_case{"LoaderCarriageReturnThenLetter", phase::loader, "\rA", 2},
                      ack_case{"LoaderDotThenLetter", phase::loader, ".A", 2},
                      ack_case{"LoaderLineFeed", phase::loader, "\n", 1},
                      ack_case{"LoaderLetter", phase::loader, "A", 1},
                      ack_case{"LoaderNul", phase::loader, std::string(1, '\0'), 1},
                      ack_case{"LoaderSilence", phase::loader, "", 1},
                      // The firmware phase takes only "." or CR, and after CR one more byte.
                      ack_case{"FirmwareDot", phase::firmware, ".", 0},
                      ack_case{"FirmwareCarriageReturnWithItsByte", phase::firmware, "\rz", 0},
                      ack_case{"FirmwareCarriageReturnThenSilence", phase::firmware, "\r", 0},
                      firmware_carriage_return_with_two_bytes,
                      ack_case{"FirmwareZero", phase::firmware, "0", 1},
                      ack_case{"FirmwareEight", phase::firmware, "8", 1},
                      ack_case{"FirmwareLineFeed", phase::firmware, "\n", 1},
                      ack_case{"FirmwareLetter", phase::firmware, "E", 1},
                      ack_case{"FirmwareSilence", phase::firmware, "", 1}),
    row_name{});

class AcknowledgedRun : public ::testing::TestWithParam<ack_case> {};

// The road in whole runs: a phase's image of two lines, ":00" (the loader) or
// "f1" (the firmware) and then "ab\rcd", whose CR inside only the loader phase
// sends on; the first line's answer brings a byte too many, which, queued in
// the real port, refuses the second line. The firmware phase's other image
// is whole, and the question confirmed.
TEST_P(AcknowledgedRun, AcceptsOrRefuses) {
    const ack_case& row = GetParam();
    const bool loader = row.where == phase::loader;
    small_run setup(loader ? ":00\nab\rcd\n" : ":00\n" + eof_record,
                    loader ? good_firmware : "f1\nab\rcd\n", "y\n");
    (loader ? setup.options.modem.loader_ack_at : setup.options.modem.firmware_ack_at)[1] = row.ack;
    const run_result run = run_romup(setup.options);
    if (loader) {
        EXPECT_EQ(run.out,
                  banner + loader_heading + "\b\b\b\b 40%\r\nError while loading code\r\n");
        EXPECT_EQ(run.line.received, probe_commands + ":00\rab\rcd");
    } else {
        // Past the erase, the re-load command follows; only this image warns.
        EXPECT_EQ(without_warnings(run.out),
                  setup.until_question() + erasing + firmware_heading +
                      "\b\b\b\b 33%\r\nError while loading Flash\r\n" +
                      reload_hint(run.port_path, setup.firmware, 19200, run.sleeping_waits));
        EXPECT_EQ(run.line.received, probe_commands + ":00\r:00000001FF\rREPROGRAM\rf1\rab\r");
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(BothPhases, AcknowledgedRun,
                         ::testing::Values(loader_eight_with_three_bytes,
                                           firmware_carriage_return_with_two_bytes),
                         row_name{});

} // namespace
