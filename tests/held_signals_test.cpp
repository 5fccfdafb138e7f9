// Signals that would end a run half way, with part of a Flash: each one sent
// mid-upload leaves the run to its end; a standard output that can take no
// more loses messages, never the run.
#include "harness.h"
#include "line/held_signals.h"
#include "line/port.h"
#include "rows.h"
#include "run/state.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using test_rows::operator<<;

// Twenty data records and the end: enough lines for a signal half way.
std::string twenty_line_firmware() {
    std::string image;
    for (int line = 0; line < 20; ++line) {
        image += ":0100000000FF\n";
    }
    return image + eof_record;
}

struct signal_case {
    const char* name;
    std::vector<int> signals;
};

std::vector<int> real_time_signals() {
    std::vector<int> numbers;
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
        numbers.push_back(number);
    }
    return numbers;
}

class HeldSignal : public ::testing::TestWithParam<signal_case> {};

TEST_P(HeldSignal, MidUploadTheRunGoesOnToItsEnd) {
    small_run setup(eof_record, twenty_line_firmware(), "y\n");
    setup.options.signal_at_firmware_line = 8;
    setup.options.signals = GetParam().signals;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.out, setup.until_uploaded() + loaded);
    EXPECT_EQ(run.line.firmware_lines, 21);
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Upload, HeldSignal,
    ::testing::Values(signal_case{"Usr1", {SIGUSR1}}, signal_case{"Usr2", {SIGUSR2}},
                      signal_case{"Alrm", {SIGALRM}}, signal_case{"Vtalrm", {SIGVTALRM}},
                      signal_case{"Prof", {SIGPROF}}, signal_case{"Xfsz", {SIGXFSZ}},
                      signal_case{"Xcpu", {SIGXCPU}}, signal_case{"Poll", {SIGPOLL}},
                      signal_case{"Stkflt", {SIGSTKFLT}}, signal_case{"Pwr", {SIGPWR}},
                      signal_case{"Hup", {SIGHUP}}, signal_case{"Quit", {SIGQUIT}},
                      signal_case{"EveryRealTimeSignal", real_time_signals()}),
    row_name{});

// romup > log under ulimit -f: the log ends at its limit, the Flash does not.
TEST(HeldSignalRun, AStandardOutputPastItsFileSizeLimitLosesOnlyMessages) {
    small_run setup(eof_record, "", "y\n");
    std::string firmware;
    for (int line = 0; line < 150; ++line) {
        firmware += ":0100000000FF\n";
    }
    firmware += eof_record;
    setup.firmware_content = firmware;
    setup.options.args[1] = "-f" + setup.dir.file("big.hex", firmware);
    setup.firmware = setup.dir.path + "/big.hex";
    const std::string log = setup.dir.path + "/log";
    // dash counts the limit in blocks of 512 bytes.
    setup.options.launcher = {"/bin/sh", "-c", "ulimit -f 1; exec \"$0\" \"$@\" >" + log};
    setup.options.close_stdout = true;
    const run_result run = run_romup(setup.options);
    const std::string whole = setup.until_uploaded() + loaded;
    const std::string written = read_file(log);
    EXPECT_EQ(written.size(), 512u);
    EXPECT_GT(whole.size(), written.size());
    EXPECT_EQ(whole.substr(0, written.size()), written);
    EXPECT_EQ(run.line.firmware_lines, 151);
    EXPECT_EQ(run.status, 0);
}

void (*action_of(int signal_number))(int) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return current.sa_handler;
}

std::vector<int> held;

TEST(HeldSignals, IgnoredWhileThePortIsOpenAndDefaultAfter) {
    held.clear();
    for_each_held_signal([](int number) { held.push_back(number); });
    for (int number : {SIGUSR1, SIGALRM, SIGXFSZ, SIGPWR, SIGRTMIN, SIGRTMAX}) {
        EXPECT_NE(std::find(held.begin(), held.end(), number), held.end()) << number;
    }
    // A fault of romup's own still ends it.
    for (int number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP}) {
        EXPECT_EQ(std::find(held.begin(), held.end(), number), held.end()) << number;
    }
    pty_pair pty = open_raw_pty();
    char path[path_size] = {};
    std::strcpy(path, pty.slave_path.c_str());
    port_name = path;
    ASSERT_EQ(port_open(), 1);
    for (int number : held) {
        EXPECT_EQ(action_of(number), SIG_IGN) << number;
    }
    port_close();
    for (int number : held) {
        EXPECT_EQ(action_of(number), SIG_DFL) << number;
    }
    port_fd = -1;
    port_name = nullptr;
    close_pty(pty);
}

} // namespace
