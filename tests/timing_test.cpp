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
    small_run setup("", "x\n", "n\n");
    setup.options.production = true;
    setup.options.args = {"-c", "-p{port}", "-f" + setup.firmware};
    setup.options.modem.start = sim_start::loader_running;
    const run_result run = run_romup(setup.options);
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
    small_run setup("", "f1\n", "y\n");
    setup.options.args = {"-c", "-p{port}", "-f" + setup.firmware};
    setup.options.modem.start = sim_start::loader_running;
    setup.options.modem.erase_ms = 3000;
    setup.options.cpu_limit_seconds = 1;
    setup.options.busy_poll = true;
    const run_result run = run_romup(setup.options);
    EXPECT_TRUE(ends_with(run.out, loaded)) << run.out;
    EXPECT_EQ(run.status, 0);
}

} // namespace
