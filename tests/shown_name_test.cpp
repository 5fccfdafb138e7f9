// Names on the terminal: a control byte in a file name is shown as ls -b
// shows it, never sent raw; every other byte, UTF-8 included, is unchanged.
#include "harness.h"
#include "run/shown_name.h"

#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

struct name_case {
    const char* name;
    std::string raw;
    std::string shown;
};

class ShownName : public ::testing::TestWithParam<name_case> {};

TEST_P(ShownName, EscapesControlBytesOnly) {
    EXPECT_EQ(shown_name(GetParam().raw.c_str()), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ShownName,
    ::testing::Values(
        name_case{"Plain", "/dev/ttyS0", "/dev/ttyS0"},
        name_case{"BlankQuoteBackslash", "my 'fw'\\.hex", "my 'fw'\\.hex"},
        name_case{"Utf8", "\xd0\xbf\xd1\x80\xd0\xbe.hex", "\xd0\xbf\xd1\x80\xd0\xbe.hex"},
        name_case{"Latin1Byte", "fw\xe9.hex", "fw\xe9.hex"},
        name_case{"NamedEscapes", "\a\b\t\n\v\f\r", "\\a\\b\\t\\n\\v\\f\\r"},
        name_case{"EraseLine", "fw\r\033[2K\033[8m.hex", "fw\\r\\033[2K\\033[8m.hex"},
        name_case{"WindowTitle", "\033]0;owned\a", "\\033]0;owned\\a"},
        name_case{"OtherControls", std::string("\x01\x1f\x7f", 3), "\\001\\037\\177"}),
    row_name());

// The question and the warnings name the firmware; neither lets its escape
// sequence through.
TEST(ShownNameRun, QuestionAndWarningsShowTheNameEscaped) {
    temp_dir dir;
    const std::string raw = dir.path + "/fw\r\033[2K.hex";
    const std::string shown = dir.path + "/fw\\r\\033[2K.hex";
    dir.file("fw\r\033[2K.hex", ":0100000000FF\n");
    small_run setup(eof_record, good_firmware, "n\n");
    setup.options.args[1] = "-f" + raw;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.out, banner + progress_line(loader_heading, percents_of(eof_record)) + "\r\n" +
                           ready + "\r\n\n" + "Warning: [" + shown +
                           "] has no end-of-file record: the file may be cut short\r\n" +
                           "Warning: Y erases the Flash; a modem that refuses this image, or "
                           "takes only part of it, is left without firmware\r\n" +
                           "Ready to transfer [" + shown + "] to the Flash. Reprogram [Y/N]? " +
                           aborted);
    EXPECT_EQ(run.out.find('\033'), std::string::npos);
    EXPECT_EQ(run.status, 1);
}

TEST(ShownNameRun, CanNotOpenShowsTheNameEscaped) {
    run_options options;
    options.args = {"-p/nonexistent/tty\033]0;x\a",
                    "-f" + std::string(ROMUP_IMAGES_DIR) + "/firmware.hex", "-c"};
    options.with_modem = false;
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + "Can not open [/nonexistent/tty\\033]0;x\\a]\r\n");
    EXPECT_EQ(run.status, 1);
}

} // namespace
