// romup-sim as operators run it for a rehearsal: how it ends on a signal or a
// closed terminal, what a closed output does to it, and a Flash file that
// cannot be written. The test plays romup's part on the device it offers.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;

// A romup-sim process, started as from a shell, its standard output on a
// pipe whose non-blocking end the test reads; killed, should it still run,
// when the object goes.
struct sim_process {
    pid_t pid = -1;
    int out = -1;
    std::string printed;

    explicit sim_process(std::vector<std::string> args) {
        std::signal(SIGPIPE, SIG_IGN);
        int out_pipe[2] = {-1, -1};
        EXPECT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
        args.insert(args.begin(), ROMUP_SIM_BINARY);
        spawn_setup setup;
        setup.out = out_pipe[1];
        // Not the test's own SIGPIPE, ignored, which the program would inherit.
        setup.default_signals = true;
        pid = spawn_program(args, setup);
        EXPECT_NE(pid, -1) << "cannot start romup-sim";
        close(out_pipe[1]);
        out = out_pipe[0];
        fcntl(out, F_SETFL, O_NONBLOCK);
    }
    ~sim_process() {
        if (pid > 0) {
            ended_well(pid, 0);
        }
        close(out);
    }
    // Whether the program ends by itself within 10 s, with status 0; reads
    // what it still printed.
    bool ends_well() {
        const bool well = ended_well(pid, 10);
        pid = -1;
        printed += read_available(out);
        return well;
    }
};

// romup's side of the device: writes bytes, then collects what comes back
// until 300 ms pass without a byte.
std::string exchange(int fd, const std::string& bytes) {
    EXPECT_TRUE(write_all(fd, bytes));
    std::string got;
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 300) > 0;) {
        const std::string more = read_available(fd);
        if (more.empty()) {
            break;
        }
        got += more;
    }
    return got;
}

struct signal_case {
    const char* name;
    int signal_number;
};

class SimSignal : public ::testing::TestWithParam<signal_case> {};

// The Flash is saved, the link removed and a last line printed, as --once
// ends a session; a Flash file is not made before anything is programmed.
TEST_P(SimSignal, EndsCleanly) {
    temp_dir dir;
    const std::string link = dir.path + "/ttyTAV0";
    const std::string flash = dir.path + "/flash.bin";
    sim_process sim({"--loader-running", "--erase-ms", "0", "--link", link, "--flash", flash});
    ASSERT_TRUE(wait_for_file(link));
    const std::string device = std::filesystem::read_symlink(link);
    EXPECT_FALSE(std::filesystem::exists(flash));
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(exchange(fd, "REPROGRAM\r:020000001234B8\r"), "0.");
    kill(sim.pid, GetParam().signal_number);
    EXPECT_TRUE(sim.ends_well());
    close(fd);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_EQ(read_file(flash), "\x12\x34");
    EXPECT_EQ(sim.printed, "romup-sim: modem on " + device + "\nromup-sim: linked as " + link +
                               "\nromup-sim: Flash erased\nromup-sim: Flash written to " + flash +
                               " (2 bytes)\nromup-sim: stopped by " + GetParam().name + "\n");
}

const signal_case signal_cases[] = {{"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}};

INSTANTIATE_TEST_SUITE_P(Sim, SimSignal, ::testing::ValuesIn(signal_cases), row_name{});

TEST(SimProgram, ClosedOutputDoesNotStopTheModem) {
    sim_process sim({});
    // The first line, written at once, names the device.
    const std::string lead = "romup-sim: modem on ";
    pollfd p{sim.out, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    const std::string printed = read_available(sim.out);
    ASSERT_GT(printed.size(), lead.size()) << printed;
    const std::string device = printed.substr(lead.size(), printed.size() - lead.size() - 1);
    ASSERT_EQ(printed, lead + device + "\n");
    close(sim.out);
    sim.out = -1;
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_NE(fd, -1);
    // The loader's reception and start are each reported on the closed output.
    EXPECT_EQ(exchange(fd, ":00000001FF\r"), ".\r\nTAVRIN 3306 RAM LOADER READY\r\n");
    EXPECT_EQ(exchange(fd, "X"), "\r\nREADY\r\n");
    close(fd);
    kill(sim.pid, SIGTERM);
    EXPECT_TRUE(sim.ends_well());
}

// The rate is read when romup's bytes find the line idle, after romup has set
// it: "AT" CR, its echo and OK, nine bytes out, take ten byte times at 2400
// bit/s, 42 ms (the device starts at 19200, which would take 5 ms).
TEST(SimProgram, PaceFollowsTheRateSetOnThePort) {
    temp_dir dir;
    const std::string link = dir.path + "/ttyTAV0";
    sim_process sim({"--pace", "--link", link});
    ASSERT_TRUE(wait_for_file(link));
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_NE(fd, -1);
    termios settings{};
    ASSERT_EQ(tcgetattr(fd, &settings), 0);
    cfsetispeed(&settings, B2400);
    cfsetospeed(&settings, B2400);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(write_all(fd, "AT\r"));
    std::string got;
    for (pollfd p{fd, POLLIN, 0}; got.size() < 9 && poll(&p, 1, 2000) > 0;) {
        got += read_available(fd);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(41));
    EXPECT_EQ(got, "AT\r\r\nOK\r\n");
    close(fd);
    kill(sim.pid, SIGTERM);
    EXPECT_TRUE(sim.ends_well());
}

TEST(SimProgram, UnwritableFlashFileIsFoundAtStart) {
    temp_dir dir;
    run_options options;
    options.binary = ROMUP_SIM_BINARY;
    options.with_modem = false;
    options.args = {"--flash", dir.path + "/no-such-folder/flash.bin"};
    const run_result run = run_romup(options);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "romup-sim: cannot write the Flash to " + options.args[1] + "\n");
}

} // namespace
