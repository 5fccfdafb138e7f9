// The real time limits, on the production binary, in one run: a reply is
// complete after 2 s of processor time without a byte, and the run starts
// with a 200 ms pause. Measured as romup's own processor time, which is what
// its clock counts, so that a loaded machine stretches nothing here. How many
// replies each way of ending waits for is the test build's to show.
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

} // namespace
