// The default mode's waits, which poll and count romup's own processor time:
// a loaded machine stretches them in real time and changes nothing else. The
// real time limits on the production binary in one run: a reply is complete
// after 2 s of processor time without a byte, and the run starts with a 200 ms
// pause; the test build at its twentieth. How many replies each way of ending
// waits for is the other tests' to show.
#include "harness.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

namespace {

// What a processor-time floor allows for: the kernel counts a process's run
// time at its scheduler's ticks, and the test may read romup's total before
// the last one (two ticks of the coarsest clock the system reports).
const double tick_slack = 2.0 / static_cast<double>(sysconf(_SC_CLK_TCK));

// The real romup on one processor with a busy process: its polling gets about
// half of it, or less on a busy host, and its limits, counted in its own
// processor time, last that much longer in real time; the processor time they
// take stays what they say.
TEST(RealTiming, RefusedReloadCostsTwoRepliesAndThePauseInProcessorTime) {
    const int cpu = sched_getcpu();
    ASSERT_GE(cpu, 0);
    const busy_processes busy(1, cpu);
    small_run setup("", "x\n", "n\n");
    setup.options.production = true;
    setup.options.launcher = {"/usr/bin/taskset", "-c", std::to_string(cpu)};
    setup.options.args = {"-c", "-p{port}", "-f" + setup.firmware};
    setup.options.modem.start = sim_start::loader_running;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.line.received, "XSTARTUP\r");
    EXPECT_EQ(run.status, 1);
    const double limits = 0.2 + 2 * 2.0;
    EXPECT_GE(run.cpu_seconds, limits - tick_slack);
    EXPECT_LT(run.cpu_seconds, limits + 1.0);
    EXPECT_GT(run.wall_seconds, 1.3 * run.cpu_seconds) << run.cpu_seconds;
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
    EXPECT_GE(run.cpu_seconds, (0.2 + 3 * 2.0) / 20 - tick_slack);
    EXPECT_LT(run.cpu_seconds, (0.2 + 3 * 2.0) / 20 + 0.1);
}

// romup busy-polls: an erase of 3 s in real time costs it more than a second
// of processor time, even on a loaded machine.
TEST(Limits, SoftProcessorTimeLimitDoesNotCutTheRunShort) {
    small_run setup("", "f1\n", "y\n");
    setup.options.args = {"-c", "-p{port}", "-f" + setup.firmware};
    setup.options.modem.start = sim_start::loader_running;
    setup.options.modem.erase_ms = 3000;
    // romup, started with a soft limit of 1 s, raises it.
    setup.options.launcher = {"/usr/bin/prlimit", "--cpu=1:"};
    const run_result run = run_romup(setup.options);
    EXPECT_TRUE(ends_with(run.out, loaded)) << run.out;
    EXPECT_EQ(run.status, 0);
}

} // namespace
