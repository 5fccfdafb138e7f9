// romup-fleet's rules, in-process: the rollout's answers at each moment, the
// reading of romup's output by romup's own texts, the report's names, the
// command line, and a station's slots. Every output row is made of the
// constants romup prints from, so that a message reworded in romup leaves
// these rows as true as before.
#include "device_names.h"
#include "fleet_options.h"
#include "report.h"
#include "rollout.h"
#include "romup_output.h"
#include "rows.h"
#include "slots.h"
#include "texts/messages.h"
#include "texts/shown_name.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <unistd.h>

namespace {

using test_rows::operator<<;

// ---- The rollout ----------------------------------------------------------

// A run's state as a letter: w waiting, y told y and running, s ended
// flashed, r ended flashed without "OK", f ended failed after its y, p ended
// before its question; in upper case, the same for a canary.
rollout_run run_of(char state) {
    rollout_run run;
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(state)));
    run.canary = lower != state;
    run.waiting = lower == 'w';
    run.told_yes = lower == 'y' || lower == 's' || lower == 'r' || lower == 'f';
    run.ended = lower == 's' || lower == 'r' || lower == 'f' || lower == 'p';
    run.succeeded = lower == 's';
    run.failed = lower == 'f' || lower == 'p';
    return run;
}

// An answer as a letter: - none (not waiting), . wait, y, C held back by a
// failed canary, K held back after the failures.
char letter_of(const rollout_answer& answer) {
    switch (answer.verdict) {
    case rollout_verdict::wait:
        return '.';
    case rollout_verdict::yes:
        return 'y';
    case rollout_verdict::canary_failed:
        return 'C';
    case rollout_verdict::failures_reached:
        return 'K';
    }
    return '?';
}

struct rollout_case {
    const char* name;
    std::string runs;
    rollout_limits limits;
    std::string answers;
    std::size_t failed_canary = 0;
};

class Rollout : public ::testing::TestWithParam<rollout_case> {};

TEST_P(Rollout, AnswersEachWaitingRun) {
    const rollout_case& row = GetParam();
    std::vector<rollout_run> runs;
    for (char state : row.runs) {
        runs.push_back(run_of(state));
    }
    const std::vector<rollout_answer> answers = rollout_answers(runs, row.limits);
    std::string letters;
    for (std::size_t index = 0; index < runs.size(); ++index) {
        letters += runs[index].waiting ? letter_of(answers[index]) : '-';
        if (answers[index].verdict == rollout_verdict::canary_failed) {
            EXPECT_EQ(answers[index].canary, row.failed_canary);
        }
    }
    EXPECT_EQ(letters, row.answers);
}

const rollout_case rollout_cases[] = {
    {"NoLimits", "www", {}, "yyy"},
    {"CanaryFirst", "Www", {1, 0, 0}, "y.."},
    {"CanaryRunning", "Yww", {1, 0, 0}, "-.."},
    {"CanaryPassed", "Sww", {1, 0, 0}, "-yy"},
    {"CanaryFailed", "Fww", {1, 0, 0}, "-CC", 0},
    {"CanaryWithoutOk", "Rww", {1, 0, 0}, "-CC", 0},
    {"CanaryEndedBeforeItsYes", "Pww", {1, 0, 0}, "-CC", 0},
    {"SecondCanaryFailed", "SFwYw", {3, 0, 0}, "--C-C", 1},
    {"WaitingCanaryHeldBackToo", "FWw", {2, 1, 0}, "-CC", 0},
    {"JobsTwoOverFive", "wwwww", {0, 2, 0}, "yy..."},
    {"JobsTwoOneRunning", "ywwww", {0, 2, 0}, "-y..."},
    {"JobsTwoFull", "syyww", {0, 2, 0}, "---.."},
    {"JobsTwoAPlaceFree", "ssyww", {0, 2, 0}, "---y."},
    {"MaxFailuresOne", "fww", {0, 0, 1}, "-KK"},
    {"FailureBeforeTheQuestionIsNoneOfThem", "pww", {0, 0, 1}, "-yy"},
    {"MaxFailuresTwoAfterOne", "fww", {0, 0, 2}, "-yy"},
    {"RollingStop", "fyww", {0, 2, 1}, "--KK"},
    {"CanariesWithinTheCap", "WWww", {2, 1, 0}, "y..."},
    {"SecondCanaryWithinTheCap", "SWww", {2, 1, 0}, "-y.."},
    {"RestWithinTheCap", "SSww", {2, 1, 0}, "--y."},
    {"CanaryFailureOutweighsTheStop", "Fw", {1, 0, 1}, "-C", 0},
};

INSTANTIATE_TEST_SUITE_P(Fleet, Rollout, ::testing::ValuesIn(rollout_cases), row_name());

TEST(Rollout, CanariesAreTheFirstWaitingInOrder) {
    std::vector<rollout_run> runs = {run_of('p'), run_of('w'), run_of('w'), run_of('w')};
    choose_canaries(runs, 2);
    EXPECT_EQ((std::vector<bool>{runs[0].canary, runs[1].canary, runs[2].canary, runs[3].canary}),
              (std::vector<bool>{false, true, true, false}));
}

// ---- romup's output ---------------------------------------------------------

const std::string fw = "/tmp/romup-fleet-Ab12/firmware.hex";
const std::string to_question = std::string(banner_text) + loader_heading_text +
                                "\b\b\b\b 50%\b\b\b\b100%" + progress_end_text +
                                around(loader_reply_text, "\r\nTAVRIN READY\r\n");
const std::string question = around(question_text, fw);
const std::string erased =
    to_question + question + do_not_touch_text + erasing_text + firmware_heading_text;
const std::string hint = std::string(flash_incomplete_text) + run_reload_text +
                         "  romup -c -p/dev/ttyA -f" + fw + " -s19200\r\n";

struct output_case {
    const char* name;
    std::string out;
    int status; // -2: still running
    run_phase phase;
    bool asked;
    bool erased;
    std::string result; // "" while running
    bool reload = false;
    std::string reply = "";
};

class Output : public ::testing::TestWithParam<output_case> {};

TEST_P(Output, IsReadTextByTextInItsPlace) {
    const output_case& row = GetParam();
    const output_reading seen = read_output(row.out, fw);
    EXPECT_EQ(phase_name(seen.phase), std::string(phase_name(row.phase)));
    EXPECT_EQ(seen.asked, row.asked);
    EXPECT_EQ(seen.erased, row.erased);
    if (row.status != -2) {
        EXPECT_EQ(run_result(seen, row.status, 9), row.result);
        EXPECT_EQ(needs_reload(seen, row.status), row.reload);
    }
    if (!row.reply.empty()) {
        EXPECT_EQ(seen.loader_reply, row.reply);
    }
}

const output_case output_cases[] = {
    {"Nothing", "", -2, run_phase::start, false, false, ""},
    {"Banner", banner_text, -2, run_phase::probe, false, false, ""},
    {"Usage", std::string(banner_text) + usage_text, 1, run_phase::probe, false, false,
     "usage: romup [-c] -p<port> -f<firmware> [-s<speed>] [-l<loader>]", false},
    {"ModemSilent", std::string(banner_text) + modem_silent_text, 1, run_phase::probe, false, false,
     line_of(modem_silent_text), false},
    // A port's name holds romup's words; only the message's own place counts.
    {"PortNamedLikeAMessage",
     std::string(banner_text) + around(cannot_open_text, "/dev/Erasing Flash"), 1, run_phase::probe,
     false, false, "Can not open [/dev/Erasing Flash]", false},
    {"LoaderHalfWay", std::string(banner_text) + loader_heading_text + "\b\b\b\b 42%", -2,
     run_phase::loader, false, false, ""},
    {"LoaderRefused",
     std::string(banner_text) + loader_heading_text + "\b\b\b\b 42%" + loader_refused_text, 1,
     run_phase::loader, false, false, line_of(loader_refused_text), false},
    {"AtTheQuestion", to_question + question, -2, run_phase::question, true, false, "", false,
     "TAVRIN READY"},
    {"QuestionNotYetWhole", to_question + question.substr(0, question.size() - 1), -2,
     run_phase::loader, false, false, ""},
    {"WarningsBeforeTheQuestion",
     to_question.substr(0, to_question.size()) + warning_prefix + "[x] has no end\r\n" + question,
     -2, run_phase::question, true, false, "", false, "TAVRIN READY"},
    // The modem's reply holds romup's texts, the question among them.
    {"ReplyHoldsRomupsTexts",
     std::string(banner_text) + loader_heading_text + progress_end_text +
         around(loader_reply_text, std::string(erasing_text) + question + flash_loaded_text) +
         question,
     -2, run_phase::question, true, false, ""},
    {"Declined", to_question + question + aborted_text + reset_modem_text, 1, run_phase::question,
     false, false, "declined", false},
    {"ChangedAfterTheY",
     to_question + question + "\r\n" + around(firmware_changed_text, fw) + reset_modem_text, 1,
     run_phase::question, false, false,
     "Firmware file [" + fw + "] changed after romup checked it: the Flash was not touched", false},
    {"Erasing", to_question + question + do_not_touch_text + erasing_text, -2, run_phase::erase,
     false, true, ""},
    {"Flashed", erased + "\b\b\b\b100%" + progress_end_text + flash_loaded_text + resetting_text, 0,
     run_phase::reset, false, true, "flashed", false},
    {"FlashedWithoutOk",
     erased + progress_end_text + flash_loaded_text + resetting_text + reset_modem_text, 0,
     run_phase::reset, false, true, "flashed, reset the modem", false},
    {"FlashRefused", erased + "\b\b\b\b 10%" + flash_refused_text + hint, 1, run_phase::firmware,
     false, true, line_of(flash_refused_text), true},
    {"EraseNeverEnded",
     to_question + question + do_not_touch_text + erasing_text + erase_failed_text + hint, 1,
     run_phase::erase, false, true, line_of(erase_failed_text), true},
    {"NoLoaderAnsweredX",
     to_question + question + do_not_touch_text + erasing_text + erase_failed_text +
         no_loader_answered_text + if_loader_runs_text,
     1, run_phase::erase, false, true, line_of(erase_failed_text), true},
    {"LoaderLostAfterTheUpload", erased + progress_end_text + loader_not_started_text + hint, 1,
     run_phase::firmware, false, true, line_of(loader_not_started_text), true},
    // The loader was told to start the modem: the Flash is whole.
    {"RestartUnanswered", erased + progress_end_text + restart_failed_text, 1, run_phase::firmware,
     false, true, line_of(restart_failed_text), false},
    {"KilledMidFirmware", erased + "\b\b\b\b 30%", -1, run_phase::firmware, false, true,
     "romup was killed by signal 9 (Killed)", true},
    {"KilledAtTheQuestion", to_question + question, -1, run_phase::question, true, false,
     "romup was killed by signal 9 (Killed)", false},
    // Past the erase, a text romup does not print leaves its end unknown.
    {"UnknownEndPastTheErase", erased + "\b\b\b\b 30%" + "Segmentation fault\n", 1,
     run_phase::firmware, false, true, "romup ended with status 1", true},
    {"SuccessStatusWithoutItsMessage", erased + progress_end_text, 0, run_phase::firmware, false,
     true, "romup ended with status 0", true},
};

INSTANTIATE_TEST_SUITE_P(Fleet, Output, ::testing::ValuesIn(output_cases), row_name());

// ---- The device behind a port ------------------------------------------------

// What udev's database holds of /dev/null (device 1:3, which sysfs knows as it
// knows an adapter), in a folder of the test's: this program's own fopen
// moves /run/udev/ there for libudev (preload/udev_root.cpp).
struct device_case {
    const char* name;
    std::string record; // the database's lines for the device; empty: no record
    bool through_link;  // the port a link to the device
    std::optional<std::string> id_path;
    std::optional<std::string> serial;
};

class DeviceNames : public ::testing::TestWithParam<device_case> {};

TEST_P(DeviceNames, AreUdevsWhereItKnowsTheDevice) {
    const device_case& row = GetParam();
    // The test bed's folder would bring its read loop, which is the fleet's
    // in name.
    char made[] = "/tmp/romup-udev-XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    const std::string dir = made;
    std::filesystem::create_directories(dir + "/udev/data");
    if (!row.record.empty()) {
        std::ofstream(dir + "/udev/data/c1:3") << row.record;
    }
    std::string port = "/dev/null";
    if (row.through_link) {
        port = dir + "/ttyLink";
        ASSERT_EQ(symlink("/dev/null", port.c_str()), 0);
    }
    setenv("ROMUP_UDEV_ROOT", (dir + "/udev").c_str(), 1);
    const device_names names = names_of_device(port);
    unsetenv("ROMUP_UDEV_ROOT");
    std::filesystem::remove_all(dir);
    EXPECT_EQ(names.device, "/dev/null");
    EXPECT_EQ(names.id_path, row.id_path);
    EXPECT_EQ(names.serial, row.serial);
}

const std::string by_path = "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";

const device_case device_cases[] = {
    {"Adapter",
     "S:serial/by-id/usb-ACME_A9XK31-if00-port0\nS:" + by_path.substr(5) +
         "\nE:ID_SERIAL_SHORT=A9XK31\n",
     false, by_path, "A9XK31"},
    {"ThroughALink", "S:" + by_path.substr(5) + "\nE:ID_SERIAL_SHORT=A9XK31\n", true, by_path,
     "A9XK31"},
    {"NoRecord", "", false, std::nullopt, std::nullopt},
    {"NoPlaceOnTheBus", "S:serial/by-id/usb-ACME_Z7-if00\nE:ID_SERIAL_SHORT=Z7\n", false,
     std::nullopt, "Z7"},
    {"NoSerialNumber", "S:" + by_path.substr(5) + "\n", false, by_path, std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Fleet, DeviceNames, ::testing::ValuesIn(device_cases), row_name());

// ---- The report's names -----------------------------------------------------

struct name_case {
    const char* name;
    std::string raw;
    std::string text;
};

class ReportName : public ::testing::TestWithParam<name_case> {};

TEST_P(ReportName, KeepsEveryByteDistinctAndValidUtf8) {
    const name_case& row = GetParam();
    EXPECT_EQ(report_name(row.raw), row.text);
    // The JSON library takes it as it is: valid UTF-8.
    EXPECT_NO_THROW((void)nlohmann::json(report_name(row.raw)).dump());
}

const name_case name_cases[] = {
    {"Plain", "/dev/ttyUSB0", "/dev/ttyUSB0"},
    {"Utf8", "/dev/Modem \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa1",
     "/dev/Modem \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xa1"},
    {"StrayByte", "m\xff", "m\\xff"},
    {"TwoStrayBytes", "p\xfe\xfd", "p\\xfe\\xfd"},
    {"Backslash", "a\\xff", "a\\\\xff"},
    {"Overlong", "\xc0\xaf", "\\xc0\\xaf"},
    {"Surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
    {"CutSequence", "\xe2\x82", "\\xe2\\x82"},
    {"BeyondUnicode", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
    {"ControlBytes", "x\x1b[31mred\n", "x\x1b[31mred\n"},
};

INSTANTIATE_TEST_SUITE_P(Fleet, ReportName, ::testing::ValuesIn(name_cases), row_name());

TEST(ReportName, NamesThatDifferStayDifferent) {
    const std::vector<std::string> raw = {"m\xff", "p\xfe", "p\xfd", "p\\xfe", "p\xef\xbf\xbd"};
    std::vector<std::string> texts;
    for (const std::string& name : raw) {
        texts.push_back(report_name(name));
    }
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
}

// ---- The command line -------------------------------------------------------

struct options_case {
    const char* name;
    std::vector<std::string> args;
    std::string error; // "" when the command line can be used
};

class FleetOptions : public ::testing::TestWithParam<options_case> {};

TEST_P(FleetOptions, TakeWhatCanBeUsedAndRefuseTheRest) {
    const options_case& row = GetParam();
    std::vector<std::string> args = row.args;
    args.insert(args.begin(), "romup-fleet");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    fleet_options options;
    std::string error;
    const bool usable =
        parse_fleet_options(static_cast<int>(argv.size()), argv.data(), options, error);
    EXPECT_EQ(usable, row.error.empty()) << error;
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
}

const options_case options_cases[] = {
    {"Ports", {"-ffw.hex", "/dev/a", "/dev/b"}, ""},
    {"ValuesApart", {"-f", "fw.hex", "--report", "r.json", "--logs", "l", "/dev/a"}, ""},
    {"Limits", {"-ffw.hex", "--canary", "1", "--jobs=2", "--max-failures", "3", "/dev/a"}, ""},
    {"EmptyReport", {"-ffw.hex", "--report=", "/dev/a", "/dev/b"}, "empty value"},
    {"EmptyReportApart", {"-ffw.hex", "--report", "", "/dev/a"}, "empty value"},
    {"EmptyLogs", {"-ffw.hex", "--logs=", "/dev/a"}, "empty value"},
    {"EmptyFirmware", {"-f", "", "/dev/a"}, "empty value"},
    {"EmptySpeed", {"-ffw.hex", "-s", "", "/dev/a"}, "empty value"},
    {"NoValue", {"-ffw.hex", "/dev/a", "--report"}, "needs a value"},
    {"CanaryZero", {"-ffw.hex", "--canary", "0", "/dev/a"}, "whole number from 1"},
    {"JobsNotANumber", {"-ffw.hex", "--jobs=two", "/dev/a"}, "whole number from 1"},
    {"JobsNegative", {"-ffw.hex", "--jobs", "-1", "/dev/a"}, "whole number from 1"},
    {"FailuresTooMany",
     {"-ffw.hex", "--max-failures", "99999999999", "/dev/a"},
     "whole number from 1"},
    {"NoFirmware", {"/dev/a"}, "no firmware"},
    {"NoPort", {"-ffw.hex"}, "no port"},
    {"PortTwice", {"-ffw.hex", "/dev/a", "/dev/a"}, "named twice"},
    {"OptionLikePortAfterDashes", {"-ffw.hex", "--", "-odd"}, ""},
    {"Watch", {"-ffw.hex", "--watch", "/dev/serial/by-path", "--jobs", "4"}, ""},
    {"WatchWithPorts", {"-ffw.hex", "--watch", "/d", "/dev/a"}, "takes no port"},
    {"WatchWithCanary", {"-ffw.hex", "--watch", "/d", "--canary", "1"}, "--canary does not go"},
    {"UnknownShownEscaped", {"-ffw.hex", "--x\x1b[31m", "/dev/a"}, "unknown option --x\\033[31m"},
};

INSTANTIATE_TEST_SUITE_P(Fleet, FleetOptions, ::testing::ValuesIn(options_cases), row_name());

// ---- A station's slots ------------------------------------------------------

// One event at a time: "+name@ms" appears, "-name" vanishes, "!name" its run
// ends, "?ms" asks which slots are due then (those that are no terminal,
// named with "x", are passed over), and what is due is kept in order.
struct slot_case {
    const char* name;
    std::vector<std::string> events;
    std::vector<std::string> started;
};

class Slots : public ::testing::TestWithParam<slot_case> {};

TEST_P(Slots, EachPlugInHasOneRun) {
    const slot_case& row = GetParam();
    std::vector<slot> slots;
    std::vector<std::string> started;
    for (const std::string& event : row.events) {
        const std::string rest = event.substr(1);
        const auto at = rest.find('@');
        switch (event[0]) {
        case '+':
            slot_appeared(slots, rest.substr(0, at), std::stoll(rest.substr(at + 1)));
            break;
        case '-':
            slot_vanished(slots, rest);
            break;
        case '!':
            slot_run_ended(slots, rest);
            break;
        case '?':
            for (const std::string& name : slots_due(slots, std::stoll(rest), 1000)) {
                const bool terminal = name[0] != 'x';
                slot_started(slots, name, terminal);
                if (terminal) {
                    started.push_back(name + "@" + rest);
                }
            }
            break;
        }
    }
    EXPECT_EQ(started, row.started);
}

const slot_case slot_cases[] = {
    {"SettlesBeforeItsRun", {"+a@0", "?999", "?1000"}, {"a@1000"}},
    {"LeftPluggedInFlashedOnce", {"+a@0", "?1000", "!a", "?5000"}, {"a@1000"}},
    {"PlugInAgainFlashedAgain",
     {"+a@0", "?1000", "!a", "-a", "+a@6000", "?7000"},
     {"a@1000", "a@7000"}},
    {"GoneBeforeItSettled", {"+a@0", "-a", "?2000"}, {}},
    {"ReLinkedInPlaceIsNoPlugIn", {"+a@0", "?1000", "!a", "+a@3000", "?5000"}, {"a@1000"}},
    // The next modem in a slot whose run is still failing waits for that end.
    {"NextModemWaitsForTheRunBefore",
     {"+a@0", "?1000", "-a", "+a@2000", "?3000", "!a", "?3100"},
     {"a@1000", "a@3100"}},
    {"NoTerminalPassedOver", {"+xfile@0", "?1000", "?9000"}, {}},
    {"SlotsInTheirOwnTime", {"+a@0", "+b@500", "?1000", "?1500"}, {"a@1000", "b@1500"}},
    {"FolderGoneThenBack",
     {"+a@0", "?1000", "!a", "-a", "+a@4000", "?4999", "?5000"},
     {"a@1000", "a@5000"}},
};

INSTANTIATE_TEST_SUITE_P(Fleet, Slots, ::testing::ValuesIn(slot_cases), row_name());

TEST(Slots, NextSettlingIsTheEarliestWaiting) {
    std::vector<slot> slots;
    EXPECT_EQ(next_settled_ms(slots, 0, 1000), -1);
    slot_appeared(slots, "a", 0);
    slot_appeared(slots, "b", 300);
    EXPECT_EQ(next_settled_ms(slots, 200, 1000), 800);
    slot_started(slots, "a", true);
    EXPECT_EQ(next_settled_ms(slots, 200, 1000), 1100);
    EXPECT_EQ(next_settled_ms(slots, 5000, 1000), 0);
}

} // namespace
