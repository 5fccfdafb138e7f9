// How each image line goes on the line, in both phases, end to end: the
// exact bytes the modem received. Each row is checked against the framing
// model (framing.h) too, which the truncation loop and the fuzz target trust.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

enum class phase { loader, firmware };

struct framing_case {
    const char* name;
    phase where;
    std::string file; // loader phase: after a first line ":00"
    std::string sent; // loader phase: after ":00\r"
};

class Framing : public ::testing::TestWithParam<framing_case> {};

TEST_P(Framing, SendsWhatTheRulesSay) {
    const framing_case& row = GetParam();
    const bool loader = row.where == phase::loader;
    EXPECT_EQ(frame(row.file, loader).bytes, row.sent) << "the framing model";
    temp_dir dir;
    run_options options;
    options.modem.check_records = false;
    options.modem.erase_ms = 0;
    const std::string firmware = dir.file("fw.hex", loader ? eof_record : row.file);
    // In the loader phase without an end record: the modem stays in
    // reception and the loader never starts.
    const std::string loader_file = ":00\n" + (loader ? row.file : eof_record);
    options.args = {"-p{port}", "-f" + firmware, "-l" + dir.file("loader.hex", loader_file)};
    options.answer = loader ? "n" : "y\n";
    const run_result run = run_romup(options);
    if (loader) {
        EXPECT_EQ(run.line.received, probe_commands + ":00\r" + row.sent);
        const std::string tail = "\r\nError while starting loader\r\n";
        ASSERT_GE(run.out.size(), tail.size());
        EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
        EXPECT_EQ(run.status, 1);
    } else {
        EXPECT_EQ(run.line.received,
                  probe_commands + ":00\r:00000001FF\rREPROGRAM\r" + row.sent + restart_commands);
        EXPECT_EQ(run.out, banner + progress_line(loader_heading, {25, 100}) +
                               question(ready, firmware) + erasing +
                               progress_line(firmware_heading, percents_of(row.file)) + loaded);
        EXPECT_EQ(run.status, 0);
    }
}

const std::string a1022 = std::string(1022, 'a');
const std::string a1023 = std::string(1023, 'a');

INSTANTIATE_TEST_SUITE_P(
    BothPhases, Framing,
    ::testing::Values(
        // The loader phase sends the text before an LF or a NUL, and a CR
        // unless the text holds one.
        framing_case{"LoaderLineFeedEnds", phase::loader, "abc\nde\n", "abc\rde\r"},
        framing_case{"LoaderCarriageReturnLineFeedEnds", phase::loader, "abc\r\nde\r\n",
                     "abc\rde\r"},
        framing_case{"LoaderOnlyLineFeed", phase::loader, "\n", "\r"},
        framing_case{"LoaderCarriageReturnInside", phase::loader, "ab\rcd\n", "ab\rcd"},
        framing_case{"LoaderLastLineWithoutLineFeed", phase::loader, "abc\nlast", "abc\rlast\r"},
        framing_case{"LoaderLine1022", phase::loader, a1022 + "\n", a1022 + "\r"},
        framing_case{"LoaderLine1023", phase::loader, a1023 + "\n", a1023 + "\r" + "\r"},
        framing_case{"LoaderLine1023WithCarriageReturn", phase::loader, a1022 + "\r\n",
                     a1022 + "\r" + "\r"},
        framing_case{"LoaderLine2500", phase::loader, std::string(2500, 'b') + "\n",
                     std::string(1023, 'b') + "\r" + std::string(1023, 'b') + "\r" +
                         std::string(454, 'b') + "\r"},
        framing_case{"LoaderNulCutsTheLine", phase::loader, std::string("ab\0cd\nef\n", 9),
                     "ab\ref\r"},
        framing_case{"LoaderCarriageReturnAfterNulUnseen", phase::loader,
                     std::string("ab\0c\rd\n", 7), "ab\r"},
        framing_case{"LoaderBinaryBytes", phase::loader, "\x01\xff\x7f\x11\x13\n",
                     "\x01\xff\x7f\x11\x13\r"},
        // The firmware phase sends the text before an LF, a CR or a NUL, and
        // always a CR.
        framing_case{"FirmwareLineFeedEnds", phase::firmware, "ab\ncd\n", "ab\rcd\r"},
        framing_case{"FirmwareCarriageReturnLineFeedEnds", phase::firmware, "ab\r\ncd\r\n",
                     "ab\rcd\r"},
        framing_case{"FirmwareOnlyLineFeed", phase::firmware, "\n", "\r"},
        framing_case{"FirmwareOnlyCarriageReturnLineFeed", phase::firmware, "\r\n", "\r"},
        framing_case{"FirmwareCarriageReturnInside", phase::firmware, "ab\rcd\n", "ab\r"},
        framing_case{"FirmwareLastLineWithoutLineFeed", phase::firmware, "ab\ncd", "ab\rcd\r"},
        framing_case{"FirmwareLine1022", phase::firmware, a1022 + "\n", a1022 + "\r"},
        framing_case{"FirmwareLine1023", phase::firmware, a1023 + "\n", a1023 + "\r\r"},
        framing_case{"FirmwareLine1021WithCarriageReturn", phase::firmware,
                     std::string(1021, 'a') + "\r\n", std::string(1021, 'a') + "\r"},
        framing_case{"FirmwareLine1022WithCarriageReturn", phase::firmware, a1022 + "\r\n",
                     a1022 + "\r\r"},
        framing_case{"FirmwareNulCutsTheLine", phase::firmware, std::string("ab\0c\rd\nef\n", 10),
                     "ab\ref\r"}),
    [](const ::testing::TestParamInfo<framing_case>& info) { return info.param.name; });

} // namespace
