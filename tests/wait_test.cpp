// Waits that sleep (-w): the line's waits in this process, against a peer on
// a pseudo-terminal, each ending at its limit of the monotonic clock (the test
// build's runs five times faster) with the process asleep meanwhile; and
// whole runs in both modes, which must leave the same bytes on the line, the
// same standard output and the same status.
#include "harness.h"
#include "test_port.h"

#include "line/clock.h"
#include "line/exchange.h"
#include "run/state.h"

#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace {

using test_rows::operator<<;

struct wait_case {
    const char* name;
    // What waits, on the port of this process; its result.
    int (*wait)(test_port& port);
    int result;
    // The span of the clock the wait lasts; -1 when a byte ends it early.
    std::int64_t limit_us;
    // And the real time on the wire it waits for besides.
    double wire_seconds = 0;
    // The wait begins only once the port's buffers are full, which a loaded
    // host fills in trickles: no bound above.
    bool after_filling = false;
};

class SleepingWait : public ::testing::TestWithParam<wait_case> {};

TEST_P(SleepingWait, EndsAtItsLimitWithoutSpinning) {
    const wait_case& row = GetParam();
    const deadline_guard guard{20};
    test_port port;
    sleeping_waits = true;
    const std::clock_t processor_before = std::clock();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(row.wait(port), row.result);
    const double waited =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::int64_t span_us = row.limit_us < 0 ? reply_limit_us : row.limit_us;
    const double limit = static_cast<double>(real_span_us(span_us)) / 1e6 + row.wire_seconds;
    if (row.limit_us < 0) {
        EXPECT_LT(waited, limit);
    } else {
        EXPECT_GE(waited, limit - 0.001);
        // Loosely: a loaded host may wake the process late.
        EXPECT_TRUE(row.after_filling || waited < 2 * limit + 0.1) << waited;
    }
    // A poll that spins uses about as much processor time as it waits.
    EXPECT_LT(static_cast<double>(std::clock() - processor_before) / CLOCKS_PER_SEC, waited / 4)
        << waited;
    sleeping_waits = false;
}

INSTANTIATE_TEST_SUITE_P(
    Wait, SleepingWait,
    ::testing::Values(wait_case{"Silence",
                                [](test_port&) { return read_reply(reply, reply_max_length); }, 0,
                                reply_limit_us},
                      // A pseudo-terminal whose master has closed reports a hang-up at once.
                      wait_case{"FarEndGone",
                                [](test_port& port) {
                                    close(port.pty.master);
                                    port.pty.master = -1;
                                    return read_reply(reply, reply_max_length);
                                },
                                0, reply_limit_us},
                      wait_case{"ByteBeforeTheDeadline",
                                [](test_port& port) {
                                    std::thread peer([&] {
                                        usleep(static_cast<useconds_t>(
                                            real_span_us(reply_limit_us) / 4));
                                        // Not peer_sends: romup's read may take
                                        // the byte before it looks.
                                        write_all(port.peer, "0");
                                    });
                                    const int got = read_char();
                                    peer.join();
                                    return got;
                                },
                                1, -1},
                      wait_case{"TimeOnTheWireAt300",
                                [](test_port&) {
                                    line_speed = 300;
                                    send_text(std::string(30, 'a').c_str());
                                    const int got = read_char();
                                    line_speed = default_line_speed;
                                    return got;
                                },
                                0, reply_limit_us, 1.0},
                      wait_case{"PeerThatNeverReads",
                                [](test_port&) {
                                    const std::string text(200000, 'w');
                                    return send_text(text.c_str()) < text.size() ? 1 : 0;
                                },
                                1, reply_limit_us, 0, true},
                      wait_case{"Pause",
                                [](test_port&) {
                                    pause_ms(200);
                                    return 0;
                                },
                                0, 200000}),
    row_name());

struct mode_case {
    const char* name;
    void (*setup)(small_run& run);
    int status;
};

class BothModes : public ::testing::TestWithParam<mode_case> {};

TEST_P(BothModes, SleepingWaitsChangeNothingOnTheLineNorOnTheScreen) {
    const mode_case& row = GetParam();
    small_run setup(":00\n" + eof_record, "f1\nf2\nf3\n", "y\n");
    setup.options.busy_poll = true;
    row.setup(setup);
    const run_result polling = run_romup(setup.options);
    setup.options.args.push_back("-w");
    const run_result sleeping = run_romup(setup.options);
    // The re-load command after a failure past the erase carries the run's -w.
    const std::string& port = sleeping.port_path;
    EXPECT_EQ(with_paths(sleeping.out, {{reload_hint(port, setup.firmware, 19200, true),
                                         reload_hint(port, setup.firmware, 19200, false)},
                                        {port, "{port}"}}),
              with_paths(polling.out, {{polling.port_path, "{port}"}}));
    EXPECT_EQ(sleeping.line.received, polling.line.received);
    EXPECT_EQ(sleeping.line.flash, polling.line.flash);
    EXPECT_EQ(polling.status, row.status);
    EXPECT_EQ(sleeping.status, row.status);
}

INSTANTIATE_TEST_SUITE_P(
    Wait, BothModes,
    ::testing::Values(
        mode_case{"Success", [](small_run&) {}, 0},
        mode_case{"Decline", [](small_run& run) { run.options.answer = "n\n"; }, 1},
        mode_case{"SilentModem", [](small_run& run) { run.options.modem.silent = true; }, 1},
        mode_case{"RefusedLine", [](small_run& run) { run.options.modem.firmware_ack_at[2] = "E"; },
                  1},
        mode_case{"VanishedModem",
                  [](small_run& run) { run.options.modem.vanish_at_firmware_line = 2; }, 1},
        mode_case{"Reload",
                  [](small_run& run) {
                      run.options.args = {"-c", "-p{port}", "-f" + run.firmware};
                      run.options.modem.start = sim_start::loader_running;
                  },
                  0}),
    row_name());

// The real romup on one processor with three busy processes: a waiting loop
// that polled would get a quarter of it, and its limits would last four
// times as long. Asleep, the 200 ms pause and the three silent replies of
// the probe last their real length.
TEST(Wait, SilentModemEndsInItsRealTimeOnAStarvedProcessor) {
    const int cpu = sched_getcpu();
    ASSERT_GE(cpu, 0);
    const busy_processes busy(3, cpu);
    small_run setup("x\n", "x\n", "");
    setup.options.production = true;
    setup.options.launcher = {"/usr/bin/taskset", "-c", std::to_string(cpu)};
    setup.options.args.insert(setup.options.args.begin(), "-w");
    setup.options.modem.silent = true;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.out, banner + "Modem does not respond\r\n");
    EXPECT_EQ(run.status, 1);
    const double limits = 0.2 + 3 * 2.0;
    EXPECT_GE(run.wall_seconds, limits);
    EXPECT_LT(run.wall_seconds, limits * 1.5);
    EXPECT_LT(run.cpu_seconds, 0.5);
}

} // namespace
