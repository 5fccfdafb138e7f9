// The two uploads end to end, each table for both phases: how each image line
// goes on the line (the exact bytes the modem received, each row checked
// against the framing model of framing.h too, which the truncation loop and
// the fuzz target trust), and which acknowledgements accept a line.
#include "harness.h"

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
    // Standard output before the phase's heading.
    std::string out_before() const {
        return loader ? banner : until_question() + erasing;
    }
    // The bytes on the line before the phase.
    std::string sent_before() const {
        return probe_commands + (loader ? "" : ":00\r:00000001FF\rREPROGRAM\r");
    }
    std::string heading() const {
        return loader ? loader_heading : firmware_heading;
    }
    // The failure's message; past the erase, the re-load command follows.
    std::string failure(const run_result& run) const {
        return loader ? "\r\nError while loading code\r\n"
                      : "\r\nError while loading Flash\r\n" +
                            reload_hint(run.port_path, firmware, 19200);
    }
};

struct framing_case {
    const char* name;
    std::string file;     // the image; in the loader phase after a first line ":00"
    std::string loader;   // what the loader phase sends (after ":00\r")
    std::string firmware; // what the firmware phase sends
};

class Framing : public ::testing::TestWithParam<framing_case> {};

// The loader phase sends the text before an LF or a NUL, and a CR unless the
// text holds one; the firmware phase the text before an LF, a CR or a NUL,
// and always a CR.
TEST_P(Framing, SendsWhatTheRulesSay) {
    const framing_case& row = GetParam();
    for (const phase where : {phase::loader, phase::firmware}) {
        const phase_run setup(where, row.file);
        const std::string& sent = setup.loader ? row.loader : row.firmware;
        SCOPED_TRACE(setup.loader ? "loader phase" : "firmware phase");
        EXPECT_EQ(frame(row.file, setup.loader).bytes, sent) << "the framing model";
        const run_result run = run_romup(setup.options);
        if (setup.loader) {
            // Without an end record the modem stays in reception and the loader never starts.
            EXPECT_EQ(run.line.received, setup.sent_before() + ":00\r" + sent);
            const std::string tail = "\r\nError while starting loader\r\n";
            ASSERT_GE(run.out.size(), tail.size());
            EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
            EXPECT_EQ(run.status, 1);
        } else {
            EXPECT_EQ(run.line.received, setup.sent_before() + sent + restart_commands);
            EXPECT_EQ(without_warnings(run.out), setup.until_uploaded() + loaded);
            EXPECT_EQ(run.status, 0);
        }
    }
}

const std::string a1021 = std::string(1021, 'a');
const std::string a1022 = std::string(1022, 'a');
const std::string a1023 = std::string(1023, 'a');
const std::string b1023 = std::string(1023, 'b');
const std::string b2500 = std::string(2500, 'b');

INSTANTIATE_TEST_SUITE_P(
    BothPhases, Framing,
    ::testing::Values(
        framing_case{"LineFeedEnds", "abc\nde\n", "abc\rde\r", "abc\rde\r"},
        framing_case{"CarriageReturnLineFeedEnds", "abc\r\nde\r\n", "abc\rde\r", "abc\rde\r"},
        // A firmware of nothing but empty lines is refused before the port opens.
        framing_case{"OnlyLineFeed", "\nab\n", "\rab\r", "\rab\r"},
        framing_case{"OnlyCarriageReturnLineFeed", "\r\nab\n", "\rab\r", "\rab\r"},
        framing_case{"CarriageReturnInside", "ab\rcd\n", "ab\rcd", "ab\r"},
        framing_case{"LastLineWithoutLineFeed", "abc\nlast", "abc\rlast\r", "abc\rlast\r"},
        framing_case{"Line1022", a1022 + "\n", a1022 + "\r", a1022 + "\r"},
        framing_case{"Line1023", a1023 + "\n", a1023 + "\r\r", a1023 + "\r\r"},
        framing_case{"Line1021WithCarriageReturn", a1021 + "\r\n", a1021 + "\r", a1021 + "\r"},
        framing_case{"Line1022WithCarriageReturn", a1022 + "\r\n", a1022 + "\r\r", a1022 + "\r\r"},
        framing_case{"Line2500", b2500 + "\n",
                     b1023 + "\r" + b1023 + "\r" + b2500.substr(2046) + "\r",
                     b1023 + "\r" + b1023 + "\r" + b2500.substr(2046) + "\r"},
        framing_case{"NulCutsTheLine", std::string("ab\0c\rd\nef\n", 10), "ab\ref\r", "ab\ref\r"},
        framing_case{"CarriageReturnAfterNulUnseen", std::string("ab\0c\rd\n", 7), "ab\r", "ab\r"},
        framing_case{"BinaryBytes", "\x01\xff\x7f\x11\x13\n", "\x01\xff\x7f\x11\x13\r",
                     "\x01\xff\x7f\x11\x13\r"}),
    [](const ::testing::TestParamInfo<framing_case>& info) { return info.param.name; });

struct ack_case {
    const char* name;
    phase where;
    std::string ack;  // the modem's answer to the first of two lines
    int failing_line; // 0: both accepted
};

class Acknowledgement : public ::testing::TestWithParam<ack_case> {};

TEST_P(Acknowledgement, AcceptsOrRefuses) {
    const ack_case& row = GetParam();
    // Two lines in either phase: ":00" and the end record, or "f1" and "f2".
    phase_run setup(row.where, row.where == phase::loader ? eof_record : "f1\nf2\n");
    (setup.loader ? setup.options.modem.loader_ack_at : setup.options.modem.firmware_ack_at)[1] =
        row.ack;
    const run_result run = run_romup(setup.options);
    const std::string first = setup.loader ? ":00\r" : "f1\r";
    const std::string second = setup.loader ? ":00000001FF\r" : "f2\r";
    const std::string half = setup.loader ? "\b\b\b\b 25%" : "\b\b\b\b 50%";
    if (row.failing_line == 0 && setup.loader) {
        EXPECT_EQ(run.out, setup.until_question() + aborted);
        EXPECT_EQ(run.line.received, setup.sent_before() + first + second + "STARTUP\r");
    } else if (row.failing_line == 0) {
        EXPECT_EQ(without_warnings(run.out), setup.until_uploaded() + loaded);
        EXPECT_EQ(run.line.received, setup.sent_before() + first + second + restart_commands);
    } else if (row.failing_line == 1) {
        EXPECT_EQ(without_warnings(run.out),
                  setup.out_before() + setup.heading() + setup.failure(run));
        EXPECT_EQ(run.line.received, setup.sent_before() + first);
    } else {
        EXPECT_EQ(without_warnings(run.out),
                  setup.out_before() + setup.heading() + half + setup.failure(run));
        EXPECT_EQ(run.line.received, setup.sent_before() + first + second);
    }
    EXPECT_EQ(run.status, row.failing_line == 0 && !setup.loader ? 0 : 1);
    EXPECT_EQ(run.err, "");
}

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
                      ack_case{"LoaderEightWithThreeBytes", phase::loader, "8abc", 2},
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
                      ack_case{"FirmwareCarriageReturnWithTwoBytes", phase::firmware, "\rzq", 2},
                      ack_case{"FirmwareZero", phase::firmware, "0", 1},
                      ack_case{"FirmwareEight", phase::firmware, "8", 1},
                      ack_case{"FirmwareLineFeed", phase::firmware, "\n", 1},
                      ack_case{"FirmwareLetter", phase::firmware, "E", 1},
                      ack_case{"FirmwareSilence", phase::firmware, "", 1}),
    [](const ::testing::TestParamInfo<ack_case>& info) { return info.param.name; });

} // namespace
