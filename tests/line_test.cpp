// The exchange primitives and the port's open and close, called directly
// against a peer on a pseudo-terminal. The test build's clock runs twenty times
// faster than processor time, so the 2 s limit lasts 100 ms here.
#include "rows.h"
#include "test_port.h"

#include "line/clock.h"
#include "line/exchange.h"
#include "line/held_signals.h"
#include "line/port.h"
#include "run/state.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <numeric>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Exchange : public ::testing::Test {
  protected:
    test_port port;
    deadline_guard guard{20};
};

// A text far larger than the pseudo-terminal buffers: the writes come back
// short, or would block until the peer reads.
std::string long_text() {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i) {
        text += std::to_string(i) + ",";
    }
    return text;
}

// A read of up to max_len bytes that gets none: it waits least_us of the
// clock, and less than half a second more.
void expect_silence(int max_len, std::int64_t least_us) {
    const std::int64_t start = clock_us();
    EXPECT_EQ(read_reply(reply, max_len), 0);
    const std::int64_t waited = clock_us() - start;
    EXPECT_STREQ(reply, "");
    EXPECT_GE(waited, least_us);
    EXPECT_LT(waited, least_us + 500000);
}

TEST_F(Exchange, SilenceEndsAfterTheLimit) {
    expect_silence(reply_max_length, reply_limit_us);
    // A byte that comes after it goes to the next read.
    port.peer_sends("z");
    EXPECT_EQ(read_char(), 1);
    EXPECT_STREQ(reply, "z");
}

struct wire_case {
    const char* name;
    std::int32_t rate;
    std::size_t bytes; // as many as the rate carries in a fifth of a second
};

using test_rows::operator<<;

class WireTime : public Exchange, public ::testing::WithParamInterface<wire_case> {};

// The wire time is real time: a fifth of a second of it is four seconds of
// the test build's clock. Only the first wait after sending gets it.
TEST_P(WireTime, FirstWaitAfterSendingAddsTheTimeOnTheWire) {
    const wire_case& row = GetParam();
    line_speed = row.rate;
    const std::string text(row.bytes, 'a');
    ASSERT_EQ(send_text(text.c_str()), row.bytes);
    expect_silence(1, reply_limit_us + 4 * 1000000);
    expect_silence(1, reply_limit_us);
    line_speed = default_line_speed;
}

INSTANTIATE_TEST_SUITE_P(Exchange, WireTime,
                         ::testing::Values(wire_case{"Rate300", 300, 6},
                                           wire_case{"Rate14400At9600", 14400, 192},
                                           wire_case{"Rate115200", 115200, 2304}),
                         row_name{});

TEST_F(Exchange, LimitStartsAfreshAfterEveryDelivery) {
    // One byte every third of the limit (a twentieth of its real length in
    // the test build): five of them take longer than one limit, and every one
    // of them must be collected.
    std::thread peer([&] {
        for (const char* byte : {"1", "2", "3", "4", "5"}) {
            usleep(static_cast<useconds_t>(reply_limit_us / 20 / 3));
            ASSERT_TRUE(write_all(port.peer, byte));
        }
    });
    EXPECT_EQ(read_reply(reply, 5), 5);
    peer.join();
    EXPECT_STREQ(reply, "12345");
}

std::string every_byte_value() {
    std::string all(256, '\0');
    std::iota(all.begin(), all.end(), '\0');
    return all;
}

struct read_case {
    const char* name;
    std::string sent; // by the peer, all queued before the read
    int max_len;
    std::string got;       // by the read, which stores a NUL after it
    std::string rest = ""; // by a second read: what the first left queued
};

class ReadReply : public Exchange, public ::testing::WithParamInterface<read_case> {};

TEST_P(ReadReply, TakesWhatCameUpToItsLength) {
    const read_case& row = GetParam();
    port.peer_sends(row.sent);
    reply[0] = 'j';
    const std::int64_t start = clock_us();
    EXPECT_EQ(read_reply(reply, row.max_len), static_cast<int>(row.got.size()));
    // A read that has all it may take waits for nothing more.
    if (row.got.size() == static_cast<std::size_t>(row.max_len)) {
        EXPECT_LT(clock_us() - start, reply_limit_us / 2);
    }
    EXPECT_EQ(std::string(reply, row.got.size() + 1), row.got + '\0');
    if (!row.rest.empty()) {
        EXPECT_EQ(read_reply(reply, reply_max_length), static_cast<int>(row.rest.size()));
        EXPECT_EQ(std::string(reply, row.rest.size() + 1), row.rest + '\0');
    }
}

constexpr int most = reply_max_length;

INSTANTIATE_TEST_SUITE_P(
    Exchange, ReadReply,
    ::testing::Values(read_case{"BurstIsCollectedUntilSilence", "OK\r\n", most, "OK\r\n"},
                      read_case{"CapOfTenTwentyFourLeavesTheRestQueued", std::string(1100, '0'),
                                most, std::string(1024, '0'), std::string(76, '0')},
                      read_case{"NulIsStoredAndCounted", {"A\0B", 3}, most, {"A\0B", 3}},
                      read_case{"EveryByteValuePassesUnchanged", every_byte_value(), most,
                                every_byte_value()},
                      read_case{"QueuedByteIsDeliveredAtOnce", "ab", 1, "a", "b"},
                      read_case{"TwoByteReadTakesWhatComes", "x", 2, "x"},
                      read_case{"ZeroLengthReadTakesNothing", "q", 0, "", "q"}),
    row_name{});

TEST_F(Exchange, SendTextWritesEveryByte) {
    EXPECT_EQ(send_text("AT&F1\r"), 6u);
    EXPECT_EQ(send_text(""), 0u);
    EXPECT_EQ(port.peer_receives(), "AT&F1\r");
}

TEST_F(Exchange, SendTextGivesUpAtOnceOnAFailedPort) {
    // Once the far end has gone every write fails (EIO): no later write can
    // succeed, so waiting out the stall limit would only delay the failure.
    close(port.pty.master);
    port.pty.master = -1;
    const std::int64_t start = clock_us();
    EXPECT_EQ(send_text("AT\r"), 0u);
    EXPECT_LT(clock_us() - start, reply_limit_us / 4);
}

struct reader_case {
    const char* name;
    std::int64_t spent_us; // of processor time before the send: a run late in its life
    useconds_t first_pause_us, pause_us; // before the peer's first read, between its reads
};

class SlowReader : public Exchange, public ::testing::WithParamInterface<reader_case> {};

TEST_P(SlowReader, SendTextFinishes) {
    const reader_case& row = GetParam();
    while (clock_us() < row.spent_us) {
    }
    const std::string text = long_text();
    std::string got;
    std::thread reader([&] {
        usleep(row.first_pause_us);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        char chunk[512];
        while (got.size() < text.size() && std::chrono::steady_clock::now() < give_up) {
            const long n = read_some(port.peer, chunk, sizeof chunk);
            if (n > 0) {
                got.append(chunk, static_cast<std::size_t>(n));
            }
            usleep(row.pause_us);
        }
    });
    EXPECT_EQ(send_text(text.c_str()), text.size());
    reader.join();
    EXPECT_EQ(got, text);
}

// A stall of a fraction of the limit, late in the run: counted in processor time, which passes
// no faster than wall time, from the last progress and not from the start.
INSTANTIATE_TEST_SUITE_P(
    Exchange, SlowReader,
    ::testing::Values(reader_case{"ReadingInTrickles", 0, 0, 200},
                      reader_case{"LateStallStillGetsTheWholeLimit", 3 * reply_limit_us,
                                  static_cast<useconds_t>(reply_limit_us / 20 / 4), 0}),
    row_name{});

TEST_F(Exchange, SendTextGivesUpOnAPeerThatNeverReads) {
    while (clock_us() < 3 * reply_limit_us) {
    }
    const std::string text = long_text();
    const std::int64_t start = clock_us();
    EXPECT_LT(send_text(text.c_str()), text.size());
    // Counted from the last progress; a busy machine fills the buffers in trickles.
    const std::int64_t waited = clock_us() - start;
    EXPECT_GE(waited, reply_limit_us);
    EXPECT_LT(waited, 2 * reply_limit_us);
    // A read takes the wire time of what was written, which would otherwise
    // lengthen the first wait of the next test in this process.
    port.peer_sends("z");
    EXPECT_EQ(read_char(), 1);
}

TEST(Pause, WaitsItsLengthOfTheClock) {
    for (const std::int64_t ms : {0, 1, 200}) {
        const std::int64_t start = clock_us();
        pause_ms(ms);
        const std::int64_t waited = clock_us() - start;
        EXPECT_GE(waited, ms * 1000) << ms;
        EXPECT_LT(waited, ms * 1000 + 100000) << ms;
    }
}

void (*action_of(int signal_number))(int) {
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    return current.sa_handler;
}

// port_name names a fresh pseudo-terminal's slave; nothing is left open after.
class PortOpen : public ::testing::Test {
  protected:
    pty_pair pty = open_raw_pty();
    char path[path_size] = {};
    void SetUp() override {
        std::strcpy(path, pty.slave_path.c_str());
        port_name = path;
    }
    void TearDown() override {
        port_fd = -1;
        port_name = nullptr;
        close_pty(pty);
    }
};

// Whether a descriptor of its own on path can take the port's lock now.
bool lock_is_free(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

std::vector<int> held;

// Every signal that would end romup and can be ignored is held while the port is open, but none
// of its own faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP), which must still
// end it. The guarded ones are ignored before the open, the others at their default: the close
// sets the default whatever came before.
TEST_F(PortOpen, GuardsSignalsAndHoldsTheLockWhileOpen) {
    std::vector<int> expected = {SIGHUP,  SIGINT,    SIGQUIT,   SIGUSR1, SIGUSR2,
                                 SIGPIPE, SIGALRM,   SIGTERM,   SIGXCPU, SIGXFSZ,
                                 SIGPROF, SIGVTALRM, SIGSTKFLT, SIGPOLL, SIGPWR};
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) {
        expected.push_back(number);
    }
    held.clear();
    for_each_held_signal([](int number) { held.push_back(number); });
    std::sort(expected.begin(), expected.end());
    std::sort(held.begin(), held.end());
    EXPECT_EQ(held, expected);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) {
        std::signal(number, SIG_IGN);
    }
    ASSERT_EQ(port_open(), 1);
    EXPECT_FALSE(lock_is_free(pty.slave_path));
    for (int number : held) {
        EXPECT_EQ(action_of(number), SIG_IGN) << number;
    }
    EXPECT_EQ(port_close(), 1);
    EXPECT_TRUE(lock_is_free(pty.slave_path));
    for (int number : held) {
        EXPECT_EQ(action_of(number), SIG_DFL) << number;
    }
}

struct refusal_case {
    const char* name;
    const char* path; // instead of the pseudo-terminal's ("": none)
    bool locked;      // by another descriptor
    int result;
};

class PortRefusal : public PortOpen, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(PortRefusal, ChangesNothingButTheDescriptor) {
    const refusal_case& row = GetParam();
    if (*row.path != '\0') {
        std::strcpy(path, row.path);
    }
    const int holder = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    if (row.locked) {
        ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    EXPECT_EQ(port_open(), row.result);
    EXPECT_EQ(port_fd, -1);
    EXPECT_EQ(action_of(SIGINT), SIG_DFL);
    EXPECT_EQ(action_of(SIGHUP), SIG_DFL);
    close(holder);
}

INSTANTIATE_TEST_SUITE_P(PortOpen, PortRefusal,
                         ::testing::Values(refusal_case{"Failure", "/nonexistent/ttyS9", false, 0},
                                           refusal_case{"NonTerminal", "/dev/null", false, 0},
                                           refusal_case{"LockedByAnother", "", true, port_in_use}),
                         row_name{});

struct own_terminal_case {
    const char* name;
    // "{own}" the controlling terminal's path, "{link}" a link to it, "{other}" another
    // terminal's path.
    std::string port;
    int other_on; // the standard descriptor on the other terminal (-1: all on /dev/null)
    int result;
};

class OwnTerminal : public ::testing::TestWithParam<own_terminal_case> {};

// port_open in a child that leads a session of its own with a pseudo-terminal as its
// controlling terminal, as a login shell's romup has: the operator's terminal, under any name,
// is refused before anything is set.
TEST_P(OwnTerminal, IsNoPort) {
    const own_terminal_case& row = GetParam();
    pty_pair own = open_raw_pty();
    pty_pair other = open_raw_pty();
    const temp_dir dir;
    const std::string link = dir.path + "/ttyUSB0";
    ASSERT_EQ(symlink(own.slave_path.c_str(), link.c_str()), 0);
    std::string path = with_paths(
        row.port, {{"{own}", own.slave_path}, {"{link}", link}, {"{other}", other.slave_path}});
    const pid_t child = fork();
    if (child == 0) {
        // A session leader takes the first terminal it opens without O_NOCTTY as its own.
        setsid();
        const int terminal = open(own.slave_path.c_str(), O_RDWR);
        const int elsewhere = open(other.slave_path.c_str(), O_RDWR | O_NOCTTY);
        const int null = open("/dev/null", O_RDWR);
        if (terminal == -1 || elsewhere == -1 || null == -1) {
            _exit(99);
        }
        for (int standard = 0; standard <= 2; ++standard) {
            dup2(standard == row.other_on ? elsewhere : null, standard);
        }
        port_name = path.data();
        _exit(port_open());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), row.result);
    // A refused terminal keeps its settings: 9600 bit/s, without NOFLSH.
    for (const pty_pair* terminal : {&own, &other}) {
        termios settings{};
        ASSERT_EQ(tcgetattr(terminal->slave, &settings), 0);
        const bool configured = row.result == 1 && terminal == &other;
        EXPECT_EQ(cfgetospeed(&settings), configured ? B19200 : B9600);
        EXPECT_EQ((settings.c_lflag & NOFLSH) != 0, configured);
    }
    close_pty(own);
    close_pty(other);
}

INSTANTIATE_TEST_SUITE_P(
    PortOpen, OwnTerminal,
    ::testing::Values(own_terminal_case{"DevTty", "/dev/tty", -1, 0},
                      own_terminal_case{"ControllingTerminal", "{own}", -1, 0},
                      own_terminal_case{"ControllingTerminalThroughALink", "{link}", -1, 0},
                      own_terminal_case{"TerminalOfStandardInput", "{other}", 0, 0},
                      own_terminal_case{"TerminalOfStandardOutput", "{other}", 1, 0},
                      own_terminal_case{"TerminalOfStandardError", "{other}", 2, 0},
                      // Nothing ties this one to romup: it is a port like any other.
                      own_terminal_case{"AnotherTerminal", "{other}", -1, 1}),
    row_name{});

} // namespace
