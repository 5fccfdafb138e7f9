// The simulated modem where romup's end-to-end runs do not reach it: its Intel
// HEX checks, its command interpreter, the answer overrides and the faults.
// Each test plays romup's part on the slave side of a fresh pseudo-terminal.
#include "intel_hex.h"
#include "rows.h"
#include "sim.h"
#include "testbed.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using test_rows::operator<<;

// sim_serve on a thread at the master side; the test holds the slave side.
struct served_modem {
    sim_scenario scenario;
    sim_record record;
    pty_pair pty = open_raw_pty();
    int slave = pty.slave;
    std::atomic<bool> stop{false};
    std::atomic<bool> returned{false};
    std::thread thread;

    explicit served_modem(const sim_scenario& s) : scenario(s) {
        fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);
        thread = std::thread([this] {
            sim_serve(pty.master, scenario, record, stop);
            returned = true;
        });
    }
    ~served_modem() {
        finish();
        // The modem closes the master itself when it vanishes.
        if (record.vanished) {
            pty.master = -1;
        }
        close_pty(pty);
    }
    void finish() {
        stop = true;
        if (thread.joinable()) {
            thread.join();
        }
    }
    void send(const std::string& bytes) const {
        ASSERT_EQ(write(slave, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What arrives until quiet_ms pass without a byte (or up to count bytes).
    std::string reply(int quiet_ms = 100, std::size_t count = 4096) const {
        std::string got;
        pollfd p{slave, POLLIN, 0};
        char c;
        while (got.size() < count && poll(&p, 1, quiet_ms) > 0 && read(slave, &c, 1) == 1) {
            got += c;
        }
        return got;
    }
    std::string ack() const {
        return reply(2000, 1);
    }
};

sim_scenario quick() {
    sim_scenario s;
    s.erase_ms = 0;
    return s;
}

struct record_case {
    std::string line;
    bool good;
};

// Lines after a first good record, while the loader is being received.
const std::vector<record_case> record_cases = {
    {":0100000011ee", true},       // lower-case hex
    {":020000040001F9", true},     // extended linear address
    {":020000020100FB", true},     // extended segment address
    {":0400000500000000F7", true}, // start linear address
    {":0400000300000000F9", true}, // start segment address
    {"", true},                    // a blank line
    {":0100000011EF", false},      // checksum off by one
    {":020000001111", false},      // count says 2, line too short
    {":0100000011E", false},       // odd number of digits
    {":01000000G1EE", false},      // not hex
    {"0100000011EE", false},       // no colon
    {":00000006FA", false},        // unknown type
    {":0100000400FB", false},      // type 04 needs two bytes
    {":00000001FF:", false},       // trailing junk after an end record
    {std::string(600, 'a'), false},
};

TEST(SimLoader, ChecksEachRecord) {
    for (bool check : {true, false}) {
        SCOPED_TRACE(check ? "checked" : "unchecked");
        sim_scenario s = quick();
        s.check_records = check;
        served_modem modem(s);
        modem.send(":0100000011EE\r");
        EXPECT_EQ(modem.ack(), ".");
        for (const record_case& row : record_cases) {
            modem.send(row.line + "\r");
            EXPECT_EQ(modem.ack(), row.good || !check ? "." : "E") << row.line;
        }
        modem.send(":00000001FF\r");
        EXPECT_EQ(modem.reply(), "." + s.loader_ready);
        modem.finish();
        EXPECT_EQ(modem.record.loader_lines, static_cast<int>(record_cases.size()) + 2);
    }
}

// Records that place data through both kinds of address base, a bad record that
// programs nothing, and a blank line.
const std::string firmware_file = ":020000000102FB\r\n"
                                  ":020000020100FB\r\n"
                                  ":01001000AA45\r\n"
                                  "\r\n"
                                  ":020000040001F9\r\n"
                                  ":02000200BBCC75\r\n"
                                  ":00000001FF\r\n";

std::vector<std::uint8_t> expected_flash() {
    std::vector<std::uint8_t> flash(0x10004, 0xFF);
    flash[0] = 0x01;
    flash[1] = 0x02;
    flash[0x1010] = 0xAA;
    flash[0x10002] = 0xBB;
    flash[0x10003] = 0xCC;
    return flash;
}

TEST(SimFirmware, ProgramsRecordsAtTheirAddresses) {
    sim_scenario s = quick();
    s.start = sim_start::loader_running;
    std::vector<int> acknowledged;
    s.on_firmware_line = [&](int line) { acknowledged.push_back(line); };
    served_modem modem(s);
    modem.send("REPROGRAM\r");
    EXPECT_EQ(modem.ack(), "0");
    std::string acks;
    // The file, then a bad record; each line as getline leaves it, its CR kept.
    std::istringstream lines(firmware_file + ":0100000011EF\r\n");
    for (std::string line; std::getline(lines, line);) {
        modem.send(line);
        acks += modem.ack();
    }
    EXPECT_EQ(acks, ".......E");
    modem.send("X");
    EXPECT_EQ(modem.reply(), "\r\nREADY\r\n");
    modem.finish();
    EXPECT_TRUE(modem.record.erased);
    EXPECT_EQ(modem.record.firmware_lines, 8);
    EXPECT_EQ(acknowledged, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(modem.record.flash, expected_flash());
}

struct file_case {
    const char* name;
    std::string content;
    bool good;
};

TEST(SimHexToMemory, ReadsWellFormedFilesOnly) {
    const std::vector<file_case> cases = {
        {"CarriageReturnLineFeed", firmware_file, true},
        {"WithoutEndRecord", ":020000000102FB\n", true},
        {"JunkAfterEndRecord", ":00000001FF\nnot a record\n", true},
        {"Empty", "", true},
        {"BadChecksum", ":020000000102FC\n:00000001FF\n", false},
        {"NotARecord", "hello\n", false},
        {"BeyondTheFlash", ":020000040100F9\n:0100000011EE\n", false}};
    temp_dir dir;
    for (const file_case& row : cases) {
        SCOPED_TRACE(row.name);
        std::vector<std::uint8_t> memory;
        EXPECT_EQ(sim_hex_to_memory(dir.file("image.hex", row.content), memory), row.good);
        if (row.content == firmware_file) {
            EXPECT_EQ(memory, expected_flash());
        }
    }
    std::vector<std::uint8_t> memory;
    EXPECT_FALSE(sim_hex_to_memory("/nonexistent/image.hex", memory));
}

struct exchange {
    std::string sent;
    std::string answer;
};

// One session on a modem of scenario s: each row's answer depends on the
// settings the rows before left.
void expect_session(const sim_scenario& s, const std::vector<exchange>& session) {
    served_modem modem(s);
    for (const exchange& row : session) {
        modem.send(row.sent);
        EXPECT_EQ(modem.reply(), row.answer) << row.sent;
    }
}

const std::string ok = "\r\nOK\r\n";

TEST(SimCommands, AnswersAsAHayesModem) {
    expect_session(quick(), {{"AT\r", "AT\r" + ok},
                             {"ATQ9\r", "ATQ9\r\r\nERROR\r\n"},
                             {"hello\r", "hello\r"},            // no "AT": echoed, not answered
                             {"AT&FE&D3V\r", "AT&FE&D3V\r0\r"}, // echo goes off after the line
                             {"ATY\r", "4\r"},
                             {"atv1\r", ok},
                             {"ATE1\r", ok},
                             {"AT&F1\r", "AT&F1\r" + ok}});
}

TEST(SimOverrides, ReplaceOneOccurrenceAndKeepTheStateChange) {
    sim_scenario s = quick();
    s.answers = {{"AT", 2, "second"}, {"AT&FE&D3V", 0, "!"}};
    expect_session(s, {{"AT\r", "AT\r" + ok},
                       {"AT\r", "AT\rsecond"},
                       {"AT&FE&D3V\r", "AT&FE&D3V\r!"},
                       {"AT\r", "0\r"}});
}

TEST(SimFaults, EraseEndsAfterItsTimeAndNoise) {
    sim_scenario s = quick();
    s.start = sim_start::loader_running;
    s.erase_ms = 150;
    s.erase_answer = "..0";
    served_modem modem(s);
    const auto sent = std::chrono::steady_clock::now();
    modem.send("REPROGRAM\r");
    EXPECT_EQ(modem.reply(1000, 3), "..0");
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(140));
    modem.send("X");
    EXPECT_EQ(modem.reply(), "\r\nREADY\r\n");
    modem.send("STARTUP\r");
    EXPECT_EQ(modem.reply(), "\r\nRESTARTING MODEM\r\n");
    modem.send("AT\r");
    EXPECT_EQ(modem.reply(), "AT\r\r\nOK\r\n");
}

TEST(SimFaults, VanishesOnTheNamedLine) {
    sim_scenario s = quick();
    s.vanish_at_loader_line = 2;
    served_modem modem(s);
    modem.send(":0100000011EE\r");
    EXPECT_EQ(modem.ack(), ".");
    modem.send(":020000040001F9\r");
    EXPECT_EQ(modem.reply(), "");
    for (int waited = 0; !modem.returned && waited < 100; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(modem.returned);
    EXPECT_TRUE(modem.record.vanished);
    EXPECT_EQ(modem.record.received, ":0100000011EE\r:020000040001F9\r");
    EXPECT_EQ(modem.record.sent, ".");
}

TEST(SimFaults, SilentModemRecordsButNeverSends) {
    sim_scenario s = quick();
    s.silent = true;
    served_modem modem(s);
    modem.send("AT\r:00000001FF\rX");
    EXPECT_EQ(modem.reply(200), "");
    modem.finish();
    EXPECT_EQ(modem.record.received, "AT\r:00000001FF\rX");
    EXPECT_EQ(modem.record.sent, "");
}

TEST(SimFaults, PacingTakesTenBitsPerByte) {
    sim_scenario s = quick();
    s.pace_bits_per_second = 2400;
    served_modem modem(s);
    const auto sent = std::chrono::steady_clock::now();
    modem.send("AT&F1\r");
    EXPECT_EQ(modem.reply(200, 12), "AT&F1\r\r\nOK\r\n");
    // Six bytes in, the echo alongside, then six bytes of result: 12 bytes at 4.2 ms.
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(48));
}

struct latency_case {
    const char* name;
    int latency_ms;
    std::string answer; // to "AT", instead of the usual result ("": the usual)
    int least_ms;       // the first byte comes no sooner (0: any time)
    int most_ms;        // and no later than this
    int quiet_ms;       // the reply is complete after this much silence
    std::string reply;
};

class AdapterLatency : public ::testing::TestWithParam<latency_case> {};

TEST_P(AdapterLatency, HoldsWhatTheModemSends) {
    const latency_case& row = GetParam();
    sim_scenario s = quick();
    s.latency_ms = row.latency_ms;
    if (!row.answer.empty()) {
        s.answers.push_back({"AT", 0, row.answer});
    }
    served_modem modem(s);
    const auto sent = std::chrono::steady_clock::now();
    modem.send("AT\r");
    pollfd p{modem.slave, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    const auto waited = std::chrono::steady_clock::now() - sent;
    EXPECT_GE(waited, std::chrono::milliseconds(row.least_ms));
    EXPECT_LT(waited, std::chrono::milliseconds(row.most_ms));
    EXPECT_EQ(modem.reply(row.quiet_ms), row.reply);
}

INSTANTIATE_TEST_SUITE_P(SimFaults, AdapterLatency,
                         ::testing::Values(
                             // The echo and the result code leave together when the timer runs out.
                             latency_case{"TimerRunsOut", 60, "", 60, 2000, 200, "AT\r\r\nOK\r\n"},
                             // A full packet goes at once, whatever the timer.
                             latency_case{"FullPacketAtOnce", 255, std::string(70, 'x'), 0, 200,
                                          100, "AT\r" + std::string(70, 'x')}),
                         row_name{});

TEST(SimTranscript, NamesControlBytes) {
    sim_record record;
    record.transcript = {{1'500'000, true, std::string("AT\r\n\0", 5)},
                         {2'000'001, false, "\x1b\xff<ok>"}};
    EXPECT_EQ(sim_transcript_text(record), "     1.500000 romup AT<CR><LF><NUL>\n"
                                           "     2.000001 modem <1b><ff><ok>\n");
}

} // namespace
