// The probe and the loader upload, end to end against the simulated modem:
// the exact bytes on the line, the exact standard output and the status.
// Runs are small runs, whose modem checks no records; those that get past the
// loader are declined at the question, which sends "STARTUP\r" and ends with
// status 1.
#include "harness.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;

// A pipe is read whole before the port opens: its size is known.
TEST(Loader, FromAPipeShowsPercentages) {
    small_run run_setup("", good_firmware, "n");
    const std::string content = ":ab\n:cd\n" + eof_record;
    // romup reads the loader at its start-up test.
    const fifo_writer writer(run_setup.dir.path + "/loader.fifo", content);
    run_setup.options.args.back() = "-l" + writer.path;
    const run_result run = run_romup(run_setup.options);
    EXPECT_EQ(run.out, banner + progress_line(loader_heading, percents_of(content)) +
                           question(ready, run_setup.firmware) + aborted);
    EXPECT_EQ(run.status, 1);
}

struct start_case {
    const char* name;
    std::vector<sim_answer_override> answers;
    bool responds;
    std::string announcement = ready; // the loader's when it starts
    bool started = true;
};

class Start : public ::testing::TestWithParam<start_case> {};

// The probe takes only an answer with a "0"; the loader then has to announce
// itself with "READY".
TEST_P(Start, NeedsZeroThenReady) {
    const start_case& row = GetParam();
    small_run run_setup(":00\n" + eof_record, good_firmware, "n");
    run_setup.options.modem.answers = row.answers;
    run_setup.options.modem.loader_ready = row.announcement;
    const run_result run = run_romup(run_setup.options);
    const std::string progress = banner + progress_line(loader_heading, {25, 100});
    const std::string sent = probe_commands + ":00\r:00000001FF\r";
    if (!row.responds) {
        EXPECT_EQ(run.out, banner + "Modem does not respond\r\n");
        EXPECT_EQ(run.line.received, probe_commands);
    } else if (row.started) {
        EXPECT_EQ(run.out, progress + question(row.announcement, run_setup.firmware) + aborted);
        EXPECT_EQ(run.line.received, sent + "STARTUP\r");
    } else {
        EXPECT_EQ(run.out, progress + "Error while starting loader\r\n");
        EXPECT_EQ(run.line.received, sent);
    }
    EXPECT_EQ(run.status, 1);
}

// The probe's last command. The modem echoes it before it answers: echo goes
// off only once the command has been taken.
const std::string last_probe = "AT&FE&D3V";
const std::size_t probe_echo = last_probe.size() + 1;
using row = start_case;

INSTANTIATE_TEST_SUITE_P(
    Loader, Start,
    ::testing::Values(
        row{"Plain", {}, true}, row{"OkWithoutZero", {{last_probe, 1, "\r\nOK\r\n"}}, false},
        row{"ZeroAmongText", {{last_probe, 1, "abc0def"}}, true},
        row{"FirstTwoSilent", {{"AT&F1", 1, ""}, {"AT", 1, ""}}, true},
        row{"ThirdSilent", {{last_probe, 1, ""}}, false},
        row{"ZeroAfterNul", {{last_probe, 1, std::string(1, '\0') + "0\r"}}, false},
        row{"FillsTheBuffer", {{last_probe, 1, std::string(1024 - probe_echo, '0')}}, false},
        row{"Flood", {{last_probe, 1, std::string(3000, '0')}}, false},
        row{"OneShortOfFull", {{last_probe, 1, std::string(1023 - probe_echo, '0')}}, true},
        row{"ReadyInFiveBytes", {}, true, "READY"},
        row{"ReadyAmongText", {}, true, "loader 2.1 READY ok"},
        row{"ReadyInLowerCase", {}, true, "ready", false},
        row{"ReadyAfterNul", {}, true, std::string("\0READY\r\n", 8), false},
        row{"LoaderSilent", {}, true, "", false}),
    row_name{});

TEST(StandardOutput, ClosedIsNeverThePort) {
    small_run run_setup(":00\n" + eof_record, good_firmware, "n");
    run_setup.options.launcher = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"};
    run_setup.options.args.insert(run_setup.options.args.begin(), "-w");
    const run_result run = run_romup(run_setup.options);
    EXPECT_EQ(run.line.received, probe_commands + ":00\r:00000001FF\rSTARTUP\r");
    EXPECT_EQ(run.status, 1);
}

struct closed_case {
    const char* name;
    int fd;
    const char* redirection; // as a shell closes it
};

class ClosedStandardDescriptor : public ::testing::TestWithParam<closed_case> {};

// romup started with standard input or error closed: the descriptor is the
// null device, never the first file romup opens (the firmware).
TEST_P(ClosedStandardDescriptor, IsTheNullDevice) {
    const closed_case& row = GetParam();
    small_run run_setup(":00\n" + eof_record, good_firmware, "n");
    run_setup.options.launcher = {"/bin/sh", "-c",
                                  std::string("exec \"$0\" \"$@\" ") + row.redirection};
    run_setup.options.args.insert(run_setup.options.args.begin(), "-w");
    std::string at_question;
    run_setup.options.on_poll = [&](pid_t romup, const std::string& out) {
        char target[4096] = {};
        const std::string fd = "/proc/" + std::to_string(romup) + "/fd/" + std::to_string(row.fd);
        if (at_question.empty() && ends_with(out, "[Y/N]? ") &&
            readlink(fd.c_str(), target, sizeof target - 1) > 0) {
            at_question = target;
        }
    };
    const run_result run = run_romup(run_setup.options);
    EXPECT_EQ(at_question, "/dev/null");
    EXPECT_EQ(run.line.received, probe_commands + ":00\r:00000001FF\rSTARTUP\r");
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(StandardDescriptor, ClosedStandardDescriptor,
                         ::testing::Values(closed_case{"Input", 0, "<&-"},
                                           closed_case{"Error", 2, "2>&-"}),
                         row_name{});

} // namespace
