// The simulated modem where romup's end-to-end runs do not reach it: its Intel
// HEX checks, its command interpreter, the answer overrides and the faults.
// Each test plays romup's part on the slave side of a fresh pseudo-terminal.
#include "intel_hex.h"
#include "rows.h"
#include "sim.h"
#include "testbed.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using test_rows::operator<<;
using std::chrono::milliseconds;

struct exchange {
    std::string sent;
    std::string answer;    // all that comes back until 100 ms pass without a byte
    int least_ms = 0;      // its first byte comes no sooner
    int most_ms = 2000;    // and sooner than this
    int last_least_ms = 0; // its last byte no sooner than this
};

// One session on a modem of scenario s, served on a thread at the master side:
// each answer depends on what the exchanges before left. Checks too that the
// modem recorded the exchanges' bytes and no others, and that it ended by
// itself only when it vanished; returns its record.
sim_record session(const sim_scenario& s, const std::vector<exchange>& exchanges) {
    sim_record record;
    pty_pair pty = open_raw_pty();
    fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false}, returned{false};
    std::thread modem([&] {
        sim_serve(pty.master, s, record, stop);
        returned = true;
    });
    std::string received, sent;
    for (const exchange& row : exchanges) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(write_all(pty.slave, row.sent));
        std::string got;
        auto first = start, last = start;
        const int wait_ms = row.answer.empty() ? 200 : 2000;
        for (pollfd p{pty.slave, POLLIN, 0}; poll(&p, 1, got.empty() ? wait_ms : 100) > 0;) {
            const std::string more = read_available(pty.slave);
            if (more.empty()) {
                break;
            }
            last = std::chrono::steady_clock::now();
            first = got.empty() ? last : first;
            got += more;
        }
        EXPECT_EQ(got, row.answer) << row.sent;
        EXPECT_GE(first - start, milliseconds(row.least_ms)) << row.sent;
        EXPECT_LT(first - start, milliseconds(row.most_ms)) << row.sent;
        EXPECT_GE(last - start, milliseconds(row.last_least_ms)) << row.sent;
        received += row.sent;
        sent += row.answer;
    }
    const bool vanishes = s.vanish_at_loader_line > 0 || s.vanish_at_firmware_line > 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (vanishes && !returned && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_EQ(returned, vanishes);
    stop = true;
    modem.join();
    EXPECT_EQ(record.vanished, vanishes);
    EXPECT_EQ(record.received, received);
    EXPECT_EQ(record.sent, sent);
    // The modem closes the master itself when it vanishes.
    pty.master = record.vanished ? -1 : pty.master;
    close_pty(pty);
    return record;
}

const std::string ok = "\r\nOK\r\n";

// Lines after a first good record, while the loader is being received.
const std::vector<std::pair<std::string, bool>> record_cases = {
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
        sim_scenario s;
        s.check_records = check;
        std::string lines = ":0100000011EE\r", acks = ".";
        for (const auto& [line, good] : record_cases) {
            lines += line + "\r";
            acks += good || !check ? "." : "E";
        }
        const sim_record record =
            session(s, {{lines + ":00000001FF\r", acks + "." + s.loader_ready}});
        EXPECT_EQ(record.loader_lines, static_cast<int>(record_cases.size()) + 2);
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

// The erase ends after its time and noise; the records program the Flash at
// their addresses; the modem restarts.
TEST(SimFirmware, ProgramsRecordsAtTheirAddresses) {
    sim_scenario s;
    s.start = sim_start::loader_running;
    s.erase_ms = 150;
    s.erase_answer = "..0";
    std::vector<int> acknowledged;
    s.on_firmware_line = [&](int line) { acknowledged.push_back(line); };
    // The file, then a bad record; each line ends in its CR alone.
    std::string lines = firmware_file + ":0100000011EF\r\n";
    lines.erase(std::remove(lines.begin(), lines.end(), '\n'), lines.end());
    const sim_record record = session(s, {{"REPROGRAM\r", "..0", 140},
                                          {lines, ".......E"},
                                          {"X", "\r\nREADY\r\n"},
                                          {"STARTUP\r", "\r\nRESTARTING MODEM\r\n"},
                                          {"AT\r", "AT\r" + ok}});
    EXPECT_TRUE(record.erased);
    EXPECT_EQ(record.firmware_lines, 8);
    EXPECT_EQ(acknowledged, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(record.flash, expected_flash());
}

TEST(SimHexToMemory, ReadsWellFormedFilesOnly) {
    const std::vector<std::tuple<const char*, std::string, bool>> cases = {
        {"CarriageReturnLineFeed", firmware_file, true},
        {"WithoutEndRecord", ":020000000102FB\n", true},
        {"JunkAfterEndRecord", ":00000001FF\nnot a record\n", true},
        {"Empty", "", true},
        {"BadChecksum", ":020000000102FC\n:00000001FF\n", false},
        {"NotARecord", "hello\n", false},
        {"BeyondTheFlash", ":020000040100F9\n:0100000011EE\n", false}};
    temp_dir dir;
    for (const auto& [name, content, good] : cases) {
        SCOPED_TRACE(name);
        std::vector<std::uint8_t> memory;
        EXPECT_EQ(sim_hex_to_memory(dir.file("image.hex", content), memory), good);
        if (content == firmware_file) {
            EXPECT_EQ(memory, expected_flash());
        }
    }
    std::vector<std::uint8_t> memory;
    EXPECT_FALSE(sim_hex_to_memory("/nonexistent/image.hex", memory));
}

struct session_case {
    const char* name;
    void (*set_up)(sim_scenario&);
    std::vector<exchange> session;
};

class SimSession : public ::testing::TestWithParam<session_case> {};

TEST_P(SimSession, AnswersEachExchange) {
    sim_scenario s;
    GetParam().set_up(s);
    session(s, GetParam().session);
}

const session_case session_cases[] = {
    {"AnswersAsAHayesModem",
     [](sim_scenario&) {},
     {{"AT\r", "AT\r" + ok},
      {"ATQ9\r", "ATQ9\r\r\nERROR\r\n"},
      {"hello\r", "hello\r"},            // no "AT": echoed, not answered
      {"AT&FE&D3V\r", "AT&FE&D3V\r0\r"}, // echo goes off after the line
      {"ATY\r", "4\r"},
      {"atv1\r", ok},
      {"ATE1\r", ok},
      {"AT&F1\r", "AT&F1\r" + ok}}},
    // Overrides replace one occurrence, and keep the command's change of state.
    {"OverridesReplaceOneOccurrenceAndKeepTheStateChange",
     [](sim_scenario& s) {
         s.answers = {{"AT", 2, "second"}, {"AT&FE&D3V", 0, "!"}};
     },
     {{"AT\r", "AT\r" + ok},
      {"AT\r", "AT\rsecond"},
      {"AT&FE&D3V\r", "AT&FE&D3V\r!"},
      {"AT\r", "0\r"}}},
    {"VanishesOnTheNamedLine",
     [](sim_scenario& s) { s.vanish_at_loader_line = 2; },
     {{":0100000011EE\r", "."}, {":020000040001F9\r", ""}}},
    {"SilentModemRecordsButNeverSends",
     [](sim_scenario& s) { s.silent = true; },
     {{"AT\r:00000001FF\rX", ""}}},
    // Six bytes in, the echo alongside, then six bytes of result: 12 bytes at 4.2 ms.
    {"PacingTakesTenBitsPerByte",
     [](sim_scenario& s) { s.pace_bits_per_second = 2400; },
     {{"AT&F1\r", "AT&F1\r" + ok, 0, 2000, 48}}},
    // The acknowledgement leaves once the whole line of 14 bytes has come in.
    {"PacingTimesTheAnswerFromTheLastByteIn",
     [](sim_scenario& s) { s.pace_bits_per_second = 2400; },
     {{":0100000011EE\r", ".", 62}}},
    // The first line's acknowledgement leaves before the second line has
    // come in, which makes the modem vanish.
    {"PacedModemVanishesWhenItsLineHasComeIn",
     [](sim_scenario& s) {
         s.pace_bits_per_second = 2400;
         s.vanish_at_loader_line = 2;
     },
     {{":0100000011EE\r:020000040001F9\r", "."}}},
    // A full packet goes at once, whatever the timer; the echo and the result
    // code leave together when the timer runs out.
    {"LatencyHoldsUntilTheTimerOrAFullPacket",
     [](sim_scenario& s) {
         s.latency_ms = 255;
         s.answers = {{"AT", 1, std::string(70, 'x')}};
     },
     {{"AT\r", "AT\r" + std::string(70, 'x'), 0, 200}, {"AT\r", "AT\r" + ok, 250}}},
};

INSTANTIATE_TEST_SUITE_P(Sim, SimSession, ::testing::ValuesIn(session_cases), row_name{});

struct pacing_case {
    const char* name;
    std::int64_t bits_per_second;
    std::size_t answer_bytes;
};

class SimPacing : public ::testing::TestWithParam<pacing_case> {};

// romup's side reads each byte as soon as it comes: after every read, what
// has come is no more than the line can have carried since the command was
// written, the command itself first. A host slow to read only loosens the check.
TEST_P(SimPacing, NoByteComesBeforeItsTenBitsHaveLeft) {
    const std::string command = "HELLO\r";
    const std::string answer(GetParam().answer_bytes, 'x');
    sim_scenario s;
    // The loader echoes nothing: the answer follows the command on the line.
    s.start = sim_start::loader_running;
    s.pace_bits_per_second = GetParam().bits_per_second;
    s.answers = {{"HELLO", 1, answer}};
    sim_record record;
    pty_pair pty = open_raw_pty();
    fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread modem([&] { sim_serve(pty.master, s, record, stop); });
    const double byte_ns = 1e10 / static_cast<double>(GetParam().bits_per_second);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(write_all(pty.slave, command));
    std::string got;
    for (pollfd p{pty.slave, POLLIN, 0}; got.size() < answer.size() && poll(&p, 1, 2000) > 0;) {
        got += read_available(pty.slave);
        const auto least = std::chrono::nanoseconds(
            static_cast<std::int64_t>(static_cast<double>(command.size() + got.size()) * byte_ns));
        EXPECT_GE(std::chrono::steady_clock::now() - start, least) << got.size() << " bytes";
    }
    EXPECT_EQ(got, answer);
    stop = true;
    modem.join();
    close_pty(pty);
}

// At 115200 bit/s the modem hands its bytes over in batches of 11; at 9600
// each byte is a batch of its own.
const pacing_case pacing_cases[] = {{"Batches", 115200, 200}, {"SingleBytes", 9600, 20}};

INSTANTIATE_TEST_SUITE_P(Sim, SimPacing, ::testing::ValuesIn(pacing_cases), row_name{});

TEST(SimTranscript, NamesControlBytes) {
    sim_record record;
    record.transcript = {{1'500'000, true, std::string("AT\r\n\0", 5)},
                         {2'000'001, false, "\x1b\xff<ok>"}};
    EXPECT_EQ(sim_transcript_text(record), "     1.500000 romup AT<CR><LF><NUL>\n"
                                           "     2.000001 modem <1b><ff><ok>\n");
}

} // namespace
