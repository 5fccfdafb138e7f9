// romup-sim as operators run it for a rehearsal: how it ends on a signal or a
// closed terminal, what a closed output does to it, and a Flash file that
// cannot be written. The test plays romup's part on the device it offers.
#include "harness.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;

// A romup-sim process with its standard output and error on pipes.
struct sim_process {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
    std::string printed; // standard output read so far

    explicit sim_process(const std::vector<std::string>& options) {
        std::signal(SIGPIPE, SIG_IGN);
        int out_pipe[2], err_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe failed";
            return;
        }
        std::vector<std::string> args = {ROMUP_SIM_BINARY};
        args.insert(args.end(), options.begin(), options.end());
        // Signals at their default action, as from a shell: the test's own
        // SIGPIPE, ignored, would be inherited.
        spawn_setup setup;
        setup.out = out_pipe[1];
        setup.err = err_pipe[1];
        setup.default_signals = true;
        pid = spawn_program(args, setup);
        if (pid == -1) {
            ADD_FAILURE() << "cannot start romup-sim";
        }
        close(out_pipe[1]);
        close(err_pipe[1]);
        out = out_pipe[0];
        err = err_pipe[0];
    }
    ~sim_process() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close_output();
        if (err >= 0) {
            close(err);
        }
    }
    void close_output() {
        if (out >= 0) {
            close(out);
            out = -1;
        }
    }
    // Reads standard output until it holds text, or 10 s have passed.
    bool wait_for(const std::string& text) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (printed.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > give_up) {
                return false;
            }
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char chunk[1024];
                const long n = read_some(out, chunk, sizeof chunk);
                if (n <= 0) {
                    return false;
                }
                printed.append(chunk, static_cast<std::size_t>(n));
            }
        }
        return true;
    }
    // The device path from "romup-sim: modem on PATH".
    std::string device() {
        const std::string lead = "romup-sim: modem on ";
        if (!wait_for(lead) || !wait_for("\n")) {
            return "";
        }
        const std::size_t from = printed.find(lead) + lead.size();
        return printed.substr(from, printed.find('\n', from) - from);
    }
    // Waits for the process to end (at most 10 s, then -2) and returns its
    // exit status, -1 when a signal ended it; reads what it still printed.
    int finish() {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > give_up) {
                return -2; // killed as the object goes
            }
            usleep(10000);
        }
        pid = -1;
        if (out >= 0) {
            printed += read_available(out);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// romup's side of the device: writes bytes, then collects what comes back
// until quiet_ms pass without a byte.
std::string exchange(int fd, const std::string& bytes, int quiet_ms = 300) {
    EXPECT_TRUE(write_all(fd, bytes));
    std::string got;
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, quiet_ms) > 0;) {
        const std::string more = read_available(fd);
        if (more.empty()) {
            break;
        }
        got += more;
    }
    return got;
}

int open_device(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

struct signal_case {
    const char* name;
    int signal_number;
};

class SimSignal : public ::testing::TestWithParam<signal_case> {};

// The Flash is saved, the link removed and a last line printed, as --once
// ends a session; a Flash file is not made before anything is programmed.
TEST_P(SimSignal, EndsCleanly) {
    const signal_case& row = GetParam();
    temp_dir dir;
    const std::string link = dir.path + "/ttyTAV0";
    const std::string flash = dir.path + "/flash.bin";
    sim_process sim({"--loader-running", "--erase-ms", "0", "--link", link, "--flash", flash});
    ASSERT_FALSE(sim.device().empty());
    struct stat status;
    EXPECT_EQ(lstat(link.c_str(), &status), 0);
    EXPECT_NE(stat(flash.c_str(), &status), 0);
    const int fd = open_device(link);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(exchange(fd, "REPROGRAM\r:020000001234B8\r"), "0.");
    kill(sim.pid, row.signal_number);
    EXPECT_EQ(sim.finish(), 0);
    close(fd);
    EXPECT_NE(lstat(link.c_str(), &status), 0);
    EXPECT_EQ(read_file(flash), "\x12\x34");
    const std::string last = std::string("romup-sim: stopped by ") + row.name + "\n";
    EXPECT_TRUE(ends_with(sim.printed, last)) << sim.printed;
}

INSTANTIATE_TEST_SUITE_P(Sim, SimSignal,
                         ::testing::Values(signal_case{"SIGINT", SIGINT},
                                           signal_case{"SIGTERM", SIGTERM},
                                           signal_case{"SIGHUP", SIGHUP}),
                         row_name{});

TEST(SimProgram, ClosedOutputDoesNotStopTheModem) {
    sim_process sim({});
    const std::string device = sim.device();
    ASSERT_FALSE(device.empty());
    sim.close_output();
    const int fd = open_device(device);
    ASSERT_NE(fd, -1);
    // The loader's reception and start are each reported on the closed output.
    EXPECT_EQ(exchange(fd, ":00000001FF\r"), ".\r\nTAVRIN 3306 RAM LOADER READY\r\n");
    EXPECT_EQ(exchange(fd, "X"), "\r\nREADY\r\n");
    close(fd);
    kill(sim.pid, SIGTERM);
    EXPECT_EQ(sim.finish(), 0);
}

TEST(SimProgram, UnwritableFlashFileIsFoundAtStart) {
    temp_dir dir;
    sim_process sim({"--flash", dir.path + "/no-such-folder/flash.bin"});
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_EQ(sim.printed, "");
    EXPECT_EQ(read_available(sim.err),
              "romup-sim: cannot write the Flash to " + dir.path + "/no-such-folder/flash.bin\n");
}

} // namespace
