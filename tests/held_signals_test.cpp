// Signals that would end a run half way, with part of a Flash: each one sent
// mid-upload leaves the run to its end; a standard output that can take no
// more loses messages, never the run.
#include "harness.h"

#include <csignal>
#include <gtest/gtest.h>

namespace {

// A firmware image of count one-byte data records and the end record.
std::string firmware_of(int count) {
    std::string image;
    for (int line = 0; line < count; ++line) {
        image += ":0100000000FF\n";
    }
    return image + eof_record;
}

// Every held signal but those reprogram_test sends (SIGINT, SIGTERM, SIGPIPE),
// in one run: that each is ignored while the port is open, line_test checks.
TEST(HeldSignal, MidUploadTheRunGoesOnToItsEnd) {
    // Enough lines for the signals half way.
    small_run setup(eof_record, firmware_of(20), "y\n");
    setup.options.signal_at_firmware_line = 8;
    setup.options.signals = {SIGUSR1, SIGUSR2, SIGALRM,   SIGVTALRM, SIGPROF, SIGXFSZ,
                             SIGXCPU, SIGPOLL, SIGSTKFLT, SIGPWR,    SIGHUP,  SIGQUIT};
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
        setup.options.signals.push_back(number);
    }
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.out, setup.until_uploaded() + loaded);
    EXPECT_EQ(run.line.firmware_lines, 21);
    EXPECT_EQ(run.status, 0);
}

// romup > log under ulimit -f: the log ends at its limit, the Flash does not.
TEST(HeldSignalRun, AStandardOutputPastItsFileSizeLimitLosesOnlyMessages) {
    small_run setup(eof_record, firmware_of(150), "y\n");
    const std::string log = setup.dir.path + "/log";
    // dash counts the limit in blocks of 512 bytes.
    setup.options.launcher = {"/bin/sh", "-c", "ulimit -f 1; exec \"$0\" \"$@\" >" + log};
    const run_result run = run_romup(setup.options);
    const std::string whole = setup.until_uploaded() + loaded;
    const std::string written = read_file(log);
    EXPECT_EQ(written.size(), 512u);
    EXPECT_GT(whole.size(), written.size());
    EXPECT_EQ(whole.substr(0, written.size()), written);
    EXPECT_EQ(run.line.firmware_lines, 151);
    EXPECT_EQ(run.status, 0);
}

} // namespace
