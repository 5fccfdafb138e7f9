// The reprogramming dialogue and the firmware upload, end to end against the
// simulated modem: the operator's answer, the erase, the firmware lines and
// their answers, the restart_commands and the reset; and complete runs.
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

// What goes on the line before the question: the probe and the loader.
const std::string loader_sent = probe_commands + ":00\r:00000001FF\r";

// A run with a small loader and firmware, the question confirmed.
struct dialogue_run : small_run {
    dialogue_run() : small_run(":00\n" + eof_record, "f1\nf2\n", "y\n") {}
    // The re-load command romup gives after a failure past the erase.
    std::string hint(const run_result& run) const {
        return reload_hint(run.port_path, firmware, 19200, run.sleeping_waits);
    }
};

struct answer_case {
    const char* name;
    std::string answer;
    bool proceeds;
    std::vector<int> signals = {};                 // sent while the question is open
    std::vector<sim_answer_override> answers = {}; // the modem's own
};

class Confirmation : public ::testing::TestWithParam<answer_case> {};

TEST_P(Confirmation, OnlyYStartsTheReprogramming) {
    const answer_case& row = GetParam();
    dialogue_run setup;
    setup.options.answer = row.answer;
    setup.options.at_question = [&](pid_t romup, int) {
        for (int signal_number : row.signals) {
            kill(romup, signal_number);
        }
    };
    setup.options.modem.answers = row.answers;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(without_warnings(run.out),
              row.proceeds ? setup.until_uploaded() + loaded : setup.until_question() + aborted);
    EXPECT_EQ(run.line.received,
              loader_sent +
                  (row.proceeds ? "REPROGRAM\rf1\rf2\r" + restart_commands : "STARTUP\r"));
    EXPECT_EQ(run.status, row.proceeds ? 0 : 1);
    EXPECT_EQ(run.line.erased, row.proceeds);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, Confirmation,
    ::testing::Values(
        answer_case{"LowerY", "y\n", true}, answer_case{"UpperY", "Y\n", true},
        answer_case{"LineStartingWithY", "yes, go ahead\n", true},
        answer_case{"YWithoutLineEnd", "Y", true}, answer_case{"LowerN", "n\n", false},
        answer_case{"UpperN", "N\n", false}, answer_case{"EmptyLine", "\n", false},
        answer_case{"EndOfInput", "", false}, answer_case{"BlankBeforeY", " y\n", false},
        // The interrupt key at the question changes nothing: the answer decides.
        answer_case{"InterruptAtTheQuestionIsIgnored", "y\n", true, {SIGINT, SIGTERM}},
        answer_case{
            "RefusalStillTellsASilentLoaderToStart", "n\n", false, {}, {{"STARTUP", 1, ""}}}),
    row_name{});

struct erase_case {
    const char* name;
    std::string at_question; // sent by the modem while the question is open
    std::string erase_answer;
    bool erased;
};

class EraseWait : public ::testing::TestWithParam<erase_case> {};

TEST_P(EraseWait, CountsFortyAttempts) {
    const erase_case& row = GetParam();
    dialogue_run setup;
    setup.options.at_question = [&](pid_t, int modem) { write_all(modem, row.at_question); };
    setup.options.modem.erase_answer = row.erase_answer;
    const run_result run = run_romup(setup.options);
    const std::string failed =
        setup.until_question() + erasing + "Error while erasing Flash\r\n" + setup.hint(run);
    EXPECT_EQ(without_warnings(run.out), row.erased ? setup.until_uploaded() + loaded : failed);
    EXPECT_EQ(run.line.received,
              loader_sent + "REPROGRAM\r" + (row.erased ? "f1\rf2\r" + restart_commands : ""));
    EXPECT_EQ(run.status, row.erased ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, EraseWait,
    ::testing::Values(erase_case{"ZeroAtOnce", "", "0", true},
                      erase_case{"ThirtyNineOthersThenZero", "", std::string(39, 'x') + "0", true},
                      erase_case{"FortyOthers", "", std::string(40, 'x'), false},
                      erase_case{"FortyOthersThenZero", "", std::string(40, 'x') + "0", false},
                      erase_case{"SentDuringTheQuestion", std::string(20, 'q'),
                                 std::string(19, 'x') + "0", true},
                      erase_case{"TooManyDuringTheQuestion", std::string(40, 'q'), "0", false},
                      // Silence uses up attempts too: here the last four.
                      erase_case{"SilentAfterThirtySixOthers", "", std::string(36, 'x'), false}),
    row_name{});

struct restart_case {
    const char* name;
    std::vector<sim_answer_override> answers;
    std::string tail; // standard output after the firmware's progress line
    int status;
    bool hinted = false; // the re-load command follows
};

class Restart : public ::testing::TestWithParam<restart_case> {};

TEST_P(Restart, NeedsReadyThenAnyAnswer) {
    const restart_case& row = GetParam();
    dialogue_run setup;
    setup.options.modem.answers = row.answers;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(without_warnings(run.out),
              setup.until_uploaded() + row.tail + (row.hinted ? setup.hint(run) : ""));
    EXPECT_EQ(run.status, row.status);
}

const std::string reset_modem = "Please reset your modem to continue\r\n";
const std::string not_started = "Error while starting loader\r\n";

INSTANTIATE_TEST_SUITE_P(
    Dialogue, Restart,
    ::testing::Values(
        restart_case{"ReadyAmongText", {{"X", 0, "xx READY yy"}}, loaded, 0},
        restart_case{"NoAnswerToX", {{"X", 0, ""}}, not_started, 1, true},
        restart_case{"LowerCaseReady", {{"X", 0, "ready"}}, not_started, 1, true},
        restart_case{"AnyAnswerToStartup", {{"STARTUP", 0, "?"}}, loaded, 0},
        restart_case{
            "NoAnswerToStartup", {{"STARTUP", 0, ""}}, "Error while restarting modem\r\n", 1},
        restart_case{"NoOkAfterReset", {{"AT&F1", 3, "\r\nERROR\r\n"}}, loaded + reset_modem, 0},
        restart_case{"SilentAfterReset", {{"AT&F1", 3, ""}}, loaded + reset_modem, 0},
        restart_case{"OnlySecondResetCounts", {{"AT&F1", 2, ""}}, loaded, 0}),
    row_name{});

// The project's sample images, streamed with every record checked, the
// question confirmed, in either mode.
const std::string sample_loader = ROMUP_IMAGES_DIR "/ramagent.hex";
const std::string sample_firmware = ROMUP_IMAGES_DIR "/firmware.hex";
const std::string sample_flash = read_file(ROMUP_IMAGES_DIR "/firmware.bin");

std::string as_sent(std::string lines) {
    std::replace(lines.begin(), lines.end(), '\n', '\r');
    return lines;
}

struct complete_case {
    const char* name;
    bool reload;            // with a silent answer to the "X" that starts it
    bool signalled = false; // the signals of a terminal after the fifth firmware line
};

class CompleteRun : public ::testing::TestWithParam<complete_case> {};

TEST_P(CompleteRun, WritesTheFirmwareIntoTheFlash) {
    const complete_case& row = GetParam();
    ASSERT_FALSE(sample_flash.empty());
    run_options options;
    options.args = {"-p{port}", "-f" + sample_firmware,
                    row.reload ? std::string("-c") : "-l" + sample_loader};
    options.answer = "y\n";
    options.modem.erase_ms = 20;
    if (row.reload) {
        options.modem.start = sim_start::loader_running;
        options.modem.answers = {{"X", 1, ""}};
    }
    if (row.signalled) {
        options.signal_at_firmware_line = 5;
        options.signals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT};
    }
    const run_result run = run_romup(options);
    const std::string loader = read_file(sample_loader);
    const std::string firmware = read_file(sample_firmware);
    const std::string start =
        row.reload
            ? "Trying to re-load firmware code\r\n" + question("", sample_firmware)
            : progress_line(loader_heading, percents_of(loader)) + question(ready, sample_firmware);
    EXPECT_EQ(run.out, banner + start + erasing +
                           progress_line(firmware_heading, percents_of(firmware)) + loaded);
    EXPECT_EQ(run.line.received, (row.reload ? "X" : probe_commands + as_sent(loader)) +
                                     "REPROGRAM\r" + as_sent(firmware) + restart_commands);
    EXPECT_EQ(std::string(run.line.flash.begin(), run.line.flash.end()), sample_flash);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(Dialogue, CompleteRun,
                         ::testing::Values(complete_case{"WithTheLoader", false},
                                           complete_case{"ReloadWithASilentAnswerToX", true},
                                           complete_case{"SignalsDuringTheUploadDoNotStopIt", false,
                                                         true}),
                         row_name{});

} // namespace
