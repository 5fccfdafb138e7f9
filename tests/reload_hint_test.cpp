// The re-load command after a failure past the erase, as the operator pastes
// it: each name one shell word, whatever bytes it holds, so that the shell
// runs exactly one romup with exactly those names; and the cases where no
// such command is the right advice.
#include "harness.h"
#include "run/shell_word.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using test_rows::operator<<;

const std::string images = ROMUP_IMAGES_DIR;

// A stand-in romup that prints each of its arguments followed by a NUL.
const std::string stand_in = "#!/bin/sh\nfor a; do printf '%s\\0' \"$a\"; done\n";

// What shell runs for command, in folder (which holds the stand-in romup
// first on the PATH): the stand-in's arguments.
std::vector<std::string> arguments_run(const std::string& shell, const temp_dir& folder,
                                       const std::string& command) {
    folder.file("run.sh",
                "cd " + folder.path + "\nPATH=" + folder.path + ":$PATH\n" + command + "\n");
    std::FILE* output = popen((shell + " " + folder.path + "/run.sh").c_str(), "r");
    std::string bytes;
    char chunk[256];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, output)) > 0) {
        bytes.append(chunk, n);
    }
    pclose(output);
    std::vector<std::string> words;
    for (std::size_t at = 0, end = 0; (end = bytes.find('\0', at)) != std::string::npos;
         at = end + 1) {
        words.push_back(bytes.substr(at, end - at));
    }
    return words;
}

struct word_case {
    const char* name;
    std::string text;
    std::string word; // as printed
};

class ShellWord : public ::testing::TestWithParam<word_case> {};

TEST_P(ShellWord, TheShellReadsBackExactlyTheName) {
    const word_case& row = GetParam();
    EXPECT_EQ(shell_word(row.text.c_str()), row.word);

    temp_dir folder;
    folder.file("romup", stand_in);
    chmod((folder.path + "/romup").c_str(), 0755);
    const std::string port = "/dev/serial/by-id/usb-x y";
    const std::string command = "romup -c -p" + shell_word(port.c_str()) + " -f" +
                                shell_word(row.text.c_str()) + " -s19200";
    const std::vector<std::string> expected = {"-c", "-p" + port, "-f" + row.text, "-s19200"};
    EXPECT_EQ(arguments_run("bash", folder, command), expected) << command;
    // Without a control character the word is plain POSIX: dash reads it too.
    if (row.word.rfind("$'", 0) != 0) {
        EXPECT_EQ(arguments_run("sh", folder, command), expected) << command;
    }
    for (const char* planted : {"PWNED", "PWNED2", "PWNED3"}) {
        EXPECT_NE(access((folder.path + "/" + planted).c_str(), F_OK), 0) << planted;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, ShellWord,
    ::testing::Values(
        // Ordinary names print exactly as they did.
        word_case{"Plain", "firmware-1.5_b.hex", "firmware-1.5_b.hex"},
        word_case{"Path", "/opt/tavrin/fw,v2:a=b+c@d%e.hex", "/opt/tavrin/fw,v2:a=b+c@d%e.hex"},
        word_case{"Utf8", "\xd0\xbf\xd1\x80\xd0\xbe\xd1\x88.hex",
                  "\xd0\xbf\xd1\x80\xd0\xbe\xd1\x88.hex"},
        word_case{"LeadingDash", "-fw.hex", "-fw.hex"},
        word_case{"Blank", "my fw.hex", "'my fw.hex'"},
        word_case{"Quote", "it's.hex", "'it'\\''s.hex'"},
        word_case{"Dollar", "fw$(touch PWNED2).hex", "'fw$(touch PWNED2).hex'"},
        word_case{"Backquotes", "fw`touch PWNED3`.hex", "'fw`touch PWNED3`.hex'"},
        word_case{"Semicolon", "fw;touch PWNED;.hex", "'fw;touch PWNED;.hex'"},
        word_case{"Glob", "fw*.hex", "'fw*.hex'"},
        word_case{"Backslash", "fw\\n.hex", "'fw\\n.hex'"},
        word_case{"Newline", "fw\n.hex", "$'fw\\n.hex'"},
        word_case{"EscapeSequence", "fw\r\033[2K\033[8m.hex", "$'fw\\r\\033[2K\\033[8m.hex'"},
        word_case{"ControlWithQuoteAndBackslash", "a'b\\c\td\x7f", "$'a\\'b\\\\c\\td\\177'"}),
    row_name());

// The command romup printed after "Run romup again at once in re-load
// mode:", as one line.
std::string printed_command(const std::string& out) {
    const std::string lead = "\r\n  romup ";
    const std::size_t start = out.find(lead);
    if (start == std::string::npos) {
        return "";
    }
    const std::size_t end = out.find("\r\n", start + lead.size());
    return out.substr(start + 4, end - start - 4);
}

sim_scenario erase_never_ends() {
    sim_scenario modem;
    modem.erase_ms = 0;
    modem.erase_answer = std::string(40, '.');
    return modem;
}

TEST(ReloadCommand, CarriesTheSleepingWaits) {
    run_options options;
    options.args = {"-p{port}", "-f" + images + "/firmware.hex", "-c", "-w"};
    options.answer = "y\n";
    options.modem = erase_never_ends();
    options.modem.start = sim_start::loader_running;
    const run_result run = run_romup(options);
    EXPECT_EQ(printed_command(run.out),
              "romup -c -w -p" + run.port_path + " -f" + images + "/firmware.hex -s19200");
    EXPECT_EQ(run.status, 1);
}

TEST(ReloadCommand, AFirmwareFromAPipeIsToBeNamedAgain) {
    run_options options;
    options.launcher = {"/bin/bash", "-c",
                        "exec \"$0\" \"$@\" -f<(cat " + images + "/firmware.hex)"};
    options.args = {"-p{port}", "-c"};
    options.answer = "y\n";
    options.modem = erase_never_ends();
    options.modem.start = sim_start::loader_running;
    const run_result run = run_romup(options);
    const std::string tail = "  romup -c -p" + run.port_path +
                             " -f<firmware> -s19200\r\nThe firmware came from a pipe, which is "
                             "gone: name it again in place of <firmware>\r\n";
    ASSERT_GE(run.out.size(), tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    EXPECT_EQ(run.status, 1);
}

// Re-load mode on a modem that runs its own firmware: no loader took
// "REPROGRAM", nothing was erased, and -c again would be no help.
TEST(ReloadCommand, NotOfferedWhenNoLoaderAnswered) {
    run_options options;
    options.args = {"-p{port}", "-f" + images + "/firmware.hex", "-c"};
    options.answer = "y\n";
    options.modem.start = sim_start::command;
    const run_result run = run_romup(options);
    const std::string tail = erasing +
                             "Error while erasing Flash\r\nNo loader answered in the modem: the "
                             "Flash was not erased. Run romup without -c\r\n";
    ASSERT_GE(run.out.size(), tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail);
    EXPECT_FALSE(run.line.erased);
    EXPECT_EQ(run.status, 1);
}

// The rehearsal of the moment it is for: a port and a firmware whose names a
// shell would split and run, a line fault past the erase, and the printed
// command pasted into bash as it stands.
TEST(ReloadCommand, PastedAsPrintedItCompletesTheFlash) {
    temp_dir dir;
    const std::string link = dir.path + "/tty TAV'0";
    const std::string flash = dir.path + "/flash.bin";
    const std::string firmware =
        dir.file("fw;touch PWNED;$(touch PWNED2) it's.hex", read_file(images + "/firmware.hex"));
    temp_dir bin;
    symlink(ROMUP_FAST_BINARY, (bin.path + "/romup").c_str());
    {
        const pid_t modem =
            start_program({ROMUP_SIM_BINARY, "--link", link, "--flash", flash, "--erase-ms", "0",
                           "--bad-firmware-ack", "100", "--firmware-fault-once"},
                          dir.path + "/sim.out");
        ASSERT_TRUE(wait_for_file(link));

        run_options failing;
        failing.with_modem = false;
        failing.args = {"-p" + link, "-f" + firmware, "-l" + images + "/ramagent.hex"};
        failing.answer = "y\n";
        failing.cwd = dir.path;
        const run_result first = run_romup(failing);
        ASSERT_EQ(first.status, 1);
        const std::string command = printed_command(first.out);
        ASSERT_FALSE(command.empty()) << first.out;

        // The launcher's own arguments (romup's path and arguments) go unused.
        run_options following;
        following.with_modem = false;
        following.launcher = {"/bin/bash", "-c", "PATH=" + bin.path + ":$PATH; " + command};
        following.answer = "y\n";
        following.cwd = dir.path;
        const run_result second = run_romup(following);
        EXPECT_EQ(second.status, 0) << command << "\n" << second.out;
        EXPECT_EQ(second.out.substr(second.out.size() - loaded.size()), loaded);
        kill(modem, SIGINT);
        ended_well(modem, 10);
    }
    EXPECT_EQ(read_file(flash), read_file(images + "/firmware.bin"));
    EXPECT_NE(access((dir.path + "/PWNED").c_str(), F_OK), 0);
    EXPECT_NE(access((dir.path + "/PWNED2").c_str(), F_OK), 0);
}

} // namespace
