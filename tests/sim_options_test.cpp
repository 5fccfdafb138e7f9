// romup-sim's option table read in-process: every option lands where its row
// says, and each kind of bad value is refused with the program's own words.
#include "options.h"
#include "rows.h"
#include "testbed.h"

#include <gtest/gtest.h>

#include <getopt.h>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

// romup-sim's status, its complaint and its options for the command line
// romup-sim plus words, split at each space.
std::tuple<int, std::string, sim_options> parse(const std::string& words) {
    std::vector<std::string> args = {"romup-sim"};
    std::istringstream in(words);
    for (std::string word; in >> word;) {
        args.push_back(word);
    }
    std::vector<char*> argv = argv_of(args);
    sim_options options;
    // 0, not 1: getopt_long starts afresh, as in a new process.
    optind = 0;
    opterr = 0;
    testing::internal::CaptureStderr();
    const int status = parse_sim_options(static_cast<int>(args.size()), argv.data(), options);
    return {status, testing::internal::GetCapturedStderr(), options};
}

TEST(SimOptions, EachOptionLandsWhereItsRowSays) {
    const auto [status, complaint, o] =
        parse("--link L --once --loader-running --silent --loader-ack=eight"
              " --firmware-ack cr --no-record-check --erase-ms 600000"
              " --probe-without-zero --bad-loader-ack 3 --no-loader-ack 4"
              " --bad-firmware-ack 5 --no-firmware-ack 10000000 --firmware-fault-once"
              " --no-ready --erase-noise 2 --no-startup-answer --no-ok"
              " --vanish-loader 6 --vanish-firmware 7 --pace --flash F --log G"
              " --latency 255");
    ASSERT_EQ(status, 0) << complaint;
    const sim_scenario& s = o.scenario;
    EXPECT_EQ(o.link_path, "L");
    EXPECT_EQ(o.flash_path, "F");
    EXPECT_EQ(o.log_path, "G");
    EXPECT_TRUE(o.once);
    EXPECT_TRUE(o.pace);
    EXPECT_EQ(s.start, sim_start::loader_running);
    EXPECT_TRUE(s.silent);
    EXPECT_FALSE(s.check_records);
    EXPECT_EQ(s.loader_ack, sim_loader_ack::eight);
    EXPECT_EQ(s.firmware_ack, sim_firmware_ack::cr);
    EXPECT_EQ(s.erase_ms, 600000);
    EXPECT_EQ(s.loader_ack_at, (std::map<int, std::string>{{3, "E"}, {4, ""}}));
    EXPECT_EQ(s.firmware_ack_at, (std::map<int, std::string>{{5, "E"}, {10000000, ""}}));
    EXPECT_TRUE(s.firmware_faults_once);
    EXPECT_EQ(s.loader_ready, "\r\nTAVRIN 3306 RAM LOADER\r\n");
    EXPECT_EQ(s.erase_answer, "..0");
    ASSERT_EQ(s.answers.size(), 3U);
    EXPECT_EQ(s.answers[0].command + "|" + s.answers[0].answer, "AT&FE&D3V|\r\nOK\r\n");
    EXPECT_EQ(s.answers[1].command + "|" + s.answers[1].answer, "STARTUP|");
    EXPECT_EQ(s.answers[2].command + "|" + s.answers[2].answer, "AT&F1|");
    EXPECT_EQ(s.vanish_at_loader_line, 6);
    EXPECT_EQ(s.vanish_at_firmware_line, 7);
    EXPECT_EQ(s.latency_ms, 255);
}

struct refusal_row {
    const char* name;
    const char* args;
    int status;
    std::string complaint;
};

using test_rows::operator<<;

class SimOptionRefusal : public testing::TestWithParam<refusal_row> {};

TEST_P(SimOptionRefusal, TellsWhatIsWrong) {
    const auto [status, complaint, options] = parse(GetParam().args);
    EXPECT_EQ(status, GetParam().status);
    EXPECT_EQ(complaint, GetParam().complaint);
}

const std::string sim = "romup-sim: ";
const std::string not_a_line = " needs a line number from 1 on, not ";

const refusal_row refusal_rows[] = {
    {"Help", "--help --bogus", 1, ""},
    {"LoaderAckName", "--loader-ack=dots", 2, sim + "--loader-ack is cr, dot, zero or eight\n"},
    {"FirmwareAckName", "--firmware-ack=zero", 2, sim + "--firmware-ack is dot or cr\n"},
    {"EraseMsAbove", "--erase-ms 600001", 2, sim + "--erase-ms needs 0 to 600000\n"},
    {"EraseNoiseAbove", "--erase-noise 10001", 2, sim + "--erase-noise needs 0 to 10000\n"},
    {"LatencyBelow", "--latency -1", 2, sim + "--latency needs 0 to 255 milliseconds\n"},
    {"LineZero", "--no-firmware-ack 0", 2, sim + "--no-firmware-ack" + not_a_line + "'0'\n"},
    {"LineText", "--vanish-loader x", 2, sim + "--vanish-loader" + not_a_line + "'x'\n"},
    {"UnknownOption", "--bogus", 2, ""},
    {"FlagWithValue", "--once=1", 2, ""},
    {"Argument", "--once extra", 2, sim + "unexpected argument 'extra'\n"},
};

INSTANTIATE_TEST_SUITE_P(Sim, SimOptionRefusal, testing::ValuesIn(refusal_rows), row_name());

} // namespace
