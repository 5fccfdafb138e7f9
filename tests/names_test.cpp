// Names as romup prints them: on the terminal, a control byte is shown as
// ls -b shows it, never sent raw, and every other byte, UTF-8 included, is
// unchanged; in the re-load command, each name is one shell word, whatever
// bytes it holds, so that the shell runs exactly one romup with exactly
// those names.
#include "harness.h"
#include "texts/shell_word.h"
#include "texts/shown_name.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

using test_rows::operator<<;

// A stand-in romup, a shell function, that prints each of its arguments
// followed by a NUL.
const std::string stand_in = "romup() { for a; do printf '%s\\0' \"$a\"; done; }\n";

// The stand-in's arguments when shell runs command in folder.
std::vector<std::string> arguments_run(const std::string& shell, const temp_dir& folder,
                                       const std::string& command) {
    const std::string script =
        folder.file("run.sh", "cd " + folder.path + "\n" + stand_in + command + "\n");
    EXPECT_EQ(std::system((shell + " " + script + " >" + folder.path + "/words").c_str()), 0);
    std::istringstream output(read_file(folder.path + "/words"));
    std::vector<std::string> words;
    for (std::string word; std::getline(output, word, '\0');) {
        words.push_back(word);
    }
    return words;
}

struct name_case {
    const char* name;
    std::string raw;
    std::string shown; // on the terminal
    std::string word;  // in the re-load command
};

class Name : public ::testing::TestWithParam<name_case> {};

TEST_P(Name, IsShownEscapedAndTheShellReadsItBackExactly) {
    const name_case& row = GetParam();
    EXPECT_EQ(shown_name(row.raw.c_str()), row.shown);
    EXPECT_EQ(shell_word(row.raw.c_str()), row.word);

    temp_dir folder;
    const std::string port = "/dev/serial/by-id/usb-x y";
    const std::string command =
        "romup -c -p" + shell_word(port.c_str()) + " -f" + shell_word(row.raw.c_str()) + " -s19200";
    const std::vector<std::string> expected = {"-c", "-p" + port, "-f" + row.raw, "-s19200"};
    EXPECT_EQ(arguments_run("bash", folder, command), expected) << command;
    // Without a control character the word is plain POSIX: dash reads it too.
    if (row.word.rfind("$'", 0) != 0) {
        EXPECT_EQ(arguments_run("sh", folder, command), expected) << command;
    }
    for (const char* planted : {"PWNED", "PWNED2", "PWNED3"}) {
        EXPECT_NE(access((folder.path + "/" + planted).c_str(), F_OK), 0) << planted;
    }
}

const std::string utf8 = "\xd0\xbf\xd1\x80\xd0\xbe\xd1\x88.hex";
const std::string escape_sequence = "fw\r\033[2K\033[8m.hex";
using row = name_case;

INSTANTIATE_TEST_SUITE_P(
    Names, Name,
    ::testing::Values(
        // Ordinary names print exactly as they are.
        row{"Plain", "firmware-1.5_b.hex", "firmware-1.5_b.hex", "firmware-1.5_b.hex"},
        row{"Path", "/opt/tavrin/fw,v2:a=b+c@d%e.hex", "/opt/tavrin/fw,v2:a=b+c@d%e.hex",
            "/opt/tavrin/fw,v2:a=b+c@d%e.hex"},
        row{"Utf8", utf8, utf8, utf8}, row{"Latin1Byte", "fw\xe9.hex", "fw\xe9.hex", "fw\xe9.hex"},
        row{"LeadingDash", "-fw.hex", "-fw.hex", "-fw.hex"},
        // What a shell would split or run is quoted; the terminal shows it as it is.
        row{"Blank", "my fw.hex", "my fw.hex", "'my fw.hex'"},
        row{"Quote", "it's.hex", "it's.hex", "'it'\\''s.hex'"},
        row{"BlankQuoteBackslash", "my 'fw'\\.hex", "my 'fw'\\.hex", "'my '\\''fw'\\''\\.hex'"},
        row{"Dollar", "fw$(touch PWNED2).hex", "fw$(touch PWNED2).hex", "'fw$(touch PWNED2).hex'"},
        row{"Backquotes", "fw`touch PWNED3`.hex", "fw`touch PWNED3`.hex", "'fw`touch PWNED3`.hex'"},
        row{"Semicolon", "fw;touch PWNED;.hex", "fw;touch PWNED;.hex", "'fw;touch PWNED;.hex'"},
        row{"Glob", "fw*.hex", "fw*.hex", "'fw*.hex'"},
        row{"Backslash", "fw\\n.hex", "fw\\n.hex", "'fw\\n.hex'"},
        // Control bytes: escaped on the terminal, in $'...' for the shell.
        row{"Newline", "fw\n.hex", "fw\\n.hex", "$'fw\\n.hex'"},
        row{"NamedEscapes", "\a\b\t\n\v\f\r", "\\a\\b\\t\\n\\v\\f\\r", "$'\\a\\b\\t\\n\\v\\f\\r'"},
        row{"EscapeSequence", escape_sequence, "fw\\r\\033[2K\\033[8m.hex",
            "$'fw\\r\\033[2K\\033[8m.hex'"},
        row{"WindowTitle", "\033]0;owned\a", "\\033]0;owned\\a", "$'\\033]0;owned\\a'"},
        row{"OtherControls", std::string("\x01\x1f\x7f", 3), "\\001\\037\\177",
            "$'\\001\\037\\177'"},
        row{"ControlWithQuoteAndBackslash", "a'b\\c\td\x7f", "a'b\\c\\td\\177",
            "$'a\\'b\\\\c\\td\\177'"}),
    row_name());

// The question and the warnings name the firmware; neither lets its escape
// sequence through.
TEST(ShownNameRun, QuestionAndWarningsShowTheNameEscaped) {
    small_run setup(eof_record, good_firmware, "n\n");
    setup.options.args[1] = "-f" + setup.dir.file("fw\r\033[2K.hex", ":0100000000FF\n");
    const std::string shown = setup.dir.path + "/fw\\r\\033[2K.hex";
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
