// The re-load command after a failure past the erase, as the operator pastes
// it, and the cases where no such command is the right advice.
#include "harness.h"

#include <csignal>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const std::string images = ROMUP_IMAGES_DIR;

TEST(ReloadCommand, AFirmwareFromAPipeIsToBeNamedAgain) {
    run_options options;
    options.launcher = {"/bin/bash", "-c",
                        "exec \"$0\" \"$@\" -f<(cat " + images + "/firmware.hex)"};
    options.args = {"-p{port}", "-c"};
    options.answer = "y\n";
    options.modem.erase_ms = 0;
    options.modem.erase_answer = std::string(40, '.'); // an erase that never ends
    options.modem.start = sim_start::loader_running;
    const run_result run = run_romup(options);
    const std::string tail = "  romup -c -p" + run.port_path +
                             " -f<firmware> -s19200\r\nThe firmware came from a pipe, which is "
                             "gone: name it again in place of <firmware>\r\n";
    EXPECT_TRUE(ends_with(run.out, tail)) << run.out;
    EXPECT_EQ(run.status, 1);
}

// Re-load mode with no loader answering "READY" to "X": a modem that runs
// its own firmware took "REPROGRAM" for noise, but a loader whose answer came
// late may be erasing. Both ways on are given, with the loader the run named.
TEST(ReloadCommand, BothWaysOnWhenNoLoaderAnswered) {
    run_options options;
    const std::string firmware = images + "/firmware.hex";
    options.args = {"-p{port}", "-f" + firmware, "-c", "-lmy loader.hex"};
    options.answer = "y\n";
    options.modem.start = sim_start::command;
    const run_result run = run_romup(options);
    const std::string tail =
        erasing +
        "Error while erasing Flash\r\nNo loader answered READY to X: the erase may not "
        "have begun.\r\nIf a loader runs in the modem, keep the modem powered and "
        "re-load at once:\r\n  romup -c -w -p" +
        run.port_path + " -f" + firmware +
        " -s19200\r\nIf the modem runs its own firmware, run romup without -c:\r\n  romup -w -p" +
        run.port_path + " -f" + firmware + " -s19200 -l'my loader.hex'\r\n";
    EXPECT_TRUE(ends_with(run.out, tail)) << run.out;
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
    const pid_t modem =
        start_program({ROMUP_SIM_BINARY, "--link", link, "--flash", flash, "--erase-ms", "0",
                       "--bad-firmware-ack", "100", "--firmware-fault-once"},
                      dir.path + "/sim.out");
    ASSERT_TRUE(wait_for_file(link));
    run_options options;
    options.with_modem = false;
    options.args = {"-p" + link, "-f" + firmware, "-l" + images + "/ramagent.hex"};
    options.answer = "y\n";
    options.cwd = dir.path;
    const run_result first = run_romup(options);
    ASSERT_EQ(first.status, 1);
    // The command after "Run romup again at once in re-load mode:", as one line.
    const std::size_t at = first.out.find("\r\n  romup ");
    ASSERT_NE(at, std::string::npos) << first.out;
    const std::string command = first.out.substr(at + 4, first.out.find("\r\n", at + 4) - at - 4);
    // The launcher's own arguments (romup's path and arguments) go unused.
    options.launcher = {"/bin/bash", "-c", "PATH=" + bin.path + ":$PATH; " + command};
    const run_result second = run_romup(options);
    EXPECT_EQ(second.status, 0) << command << "\n" << second.out;
    EXPECT_TRUE(ends_with(second.out, loaded)) << second.out;
    kill(modem, SIGINT);
    ended_well(modem, 10);
    EXPECT_EQ(read_file(flash), read_file(images + "/firmware.bin"));
    EXPECT_NE(access((dir.path + "/PWNED").c_str(), F_OK), 0);
    EXPECT_NE(access((dir.path + "/PWNED2").c_str(), F_OK), 0);
}

} // namespace
