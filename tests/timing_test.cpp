// The default mode's waits, which poll and count romup's own processor time:
// a loaded machine stretches nothing here. The real time limits on the
// production binary in one run: a reply is complete after 2 s of processor
// time without a byte, and the run starts with a 200 ms pause; the test build
// at its twentieth. How many replies each way of ending waits for is the
// other tests' to show.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

TEST(RealTiming, RefusedReloadCostsTwoRepliesAndThePause) {
    temp_dir dir;
    run_options options;
    options.production = true;
    options.args = {"-c", "-p{port}", "-f" + dir.file("fw.hex", "x\n")};
    options.answer = "n\n";
    options.modem.start = sim_start::loader_running;
    const run_result run = run_romup(options);
    EXPECT_EQ(run.line.received, "XSTARTUP\r");
    EXPECT_EQ(run.status, 1);
    EXPECT_GE(run.cpu_seconds, 0.2 + 2 * 2.0);
    EXPECT_LT(run.cpu_seconds, 0.2 + 2 * 2.0 + 1.0);
}

TEST(Probe, SilentModemDoesNotRespond) {
    small_run run_setup(":00\n" + eof_record, good_firmware, "n");
    run_setup.options.busy_poll = true;
    run_setup.options.modem.silent = true;
    const run_result run = run_romup(run_setup.options);
    EXPECT_EQ(run.out, banner + "Modem does not respond\r\n");
    EXPECT_EQ(run.line.received, probe_commands);
    EXPECT_EQ(run.status, 1);
    // Three replies' silence and the pause, at the test build's twentieth:
    // romup's own processor time, which is what its clock counts.
    EXPECT_GE(run.cpu_seconds, (0.2 + 3 * 2.0) / 20);
    EXPECT_LT(run.cpu_seconds, (0.2 + 3 * 2.0) / 20 + 0.1);
}

// romup busy-polls: an erase of 3 s in real time costs it more than a second
// of processor time, even on a loaded machine.
TEST(Limits, SoftProcessorTimeLimitDoesNotCutTheRunShort) {
    temp_dir dir;
    run_options options;
    options.args = {"-c", "-p{port}", "-f" + dir.file("fw.hex", "f1\n")};
    options.answer = "y\n";
    options.modem.start = sim_start::loader_running;
    options.modem.check_records = false;
    options.modem.erase_ms = 3000;
    options.cpu_limit_seconds = 1;
    options.busy_poll = true;
    const run_result run = run_romup(options);
    EXPECT_TRUE(ends_with(run.out, loaded)) << run.out;
    EXPECT_EQ(run.status, 0);
}

} // namespace
