// The two uploads: which acknowledgements accept a line, in this process over
// romup's own port; and whole runs that show the road of each phase around
// that rule and the framing (whose rows are in truncation_test.cpp).
#include "harness.h"
#include "test_port.h"

#include "transfer/acknowledgement.h"

#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

enum class phase { loader, firmware };

// A run that reaches the phase. Loader phase: the loader is ":00" and then
// the image, the question declined. Firmware phase: the loader is ":00" and
// the end record, the firmware the image, the question confirmed.
struct phase_run : small_run {
    bool loader;
    phase_run(phase where, const std::string& image)
        : small_run(":00\n" + (where == phase::loader ? image : eof_record),
                    where == phase::loader ? good_firmware : image,
                    where == phase::loader ? "n" : "y\n"),
          loader(where == phase::loader) {}
    // Standard output up to the phase's heading, included.
    std::string out_before() const {
        return loader ? banner + loader_heading : until_question() + erasing + firmware_heading;
    }
    // The bytes on the line before the phase.
    std::string sent_before() const {
        return probe_commands + (loader ? "" : ":00\r:00000001FF\rREPROGRAM\r");
    }
    // The failure's message; past the erase, the re-load command follows.
    std::string failure(const run_result& run) const {
        return loader ? "\r\nError while loading code\r\n"
                      : "\r\nError while loading Flash\r\n" +
                            reload_hint(run.port_path, firmware, 19200, run.sleeping_waits);
    }
};

// The road of each phase's framing in whole runs, with a CR inside a line
// that only the loader phase sends on: in the loader phase after a first line
// ":00" and with no end record, so that the loader never starts.
TEST(FramedRun, CarriageReturnInside) {
    for (const phase where : {phase::loader, phase::firmware}) {
        const phase_run setup(where, "ab\rcd\n");
        SCOPED_TRACE(setup.loader ? "loader phase" : "firmware phase");
        const run_result run = run_romup(setup.options);
        if (setup.loader) {
            EXPECT_EQ(run.line.received, setup.sent_before() + ":00\rab\rcd");
            EXPECT_TRUE(ends_with(run.out, "\r\nError while starting loader\r\n")) << run.out;
            EXPECT_EQ(run.status, 1);
        } else {
            EXPECT_EQ(run.line.received, setup.sent_before() + "ab\r" + restart_commands);
            EXPECT_EQ(without_warnings(run.out), setup.until_uploaded() + loaded);
            EXPECT_EQ(run.status, 0);
        }
    }
}

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

// Whole runs of two lines in either phase (":00" and the end record, or "f1"
// and "f2"), where the first line's answer brings a byte too many: queued in
// the real port, it refuses the second line.
TEST_P(AcknowledgedRun, AcceptsOrRefuses) {
    const ack_case& row = GetParam();
    phase_run setup(row.where, row.where == phase::loader ? eof_record : "f1\nf2\n");
    (setup.loader ? setup.options.modem.loader_ack_at : setup.options.modem.firmware_ack_at)[1] =
        row.ack;
    const run_result run = run_romup(setup.options);
    // Only the firmware phase's images warn.
    EXPECT_EQ(setup.loader ? run.out : without_warnings(run.out),
              setup.out_before() + (setup.loader ? "\b\b\b\b 25%" : "\b\b\b\b 50%") +
                  setup.failure(run));
    EXPECT_EQ(run.line.received,
              setup.sent_before() + (setup.loader ? ":00\r:00000001FF\r" : "f1\rf2\r"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(BothPhases, AcknowledgedRun,
                         ::testing::Values(loader_eight_with_three_bytes,
                                           firmware_carriage_return_with_two_bytes),
                         row_name{});

} // namespace
