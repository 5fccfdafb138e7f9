// romup-fleet end to end: a copy of it beside a `romup` that is the test
// build, in a folder of the test's own, against simulated modems: romup-sim
// programs (the first table), or sessions served in this process, whose
// records tell what each modem received. What each port's run ended with, on
// the screen and in the report read back with the JSON library, and what each
// simulated Flash holds. Every wait is for an event (a line on the fleet's
// screen, a command at a modem, a process's end), never for a length of time.
#include "fleet_e2e.h"
#include "harness.h"
#include "texts/shown_name.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test_rows::operator<<;
using json = nlohmann::json;

const std::string images = ROMUP_IMAGES_DIR;
const std::string firmware_hex = images + "/firmware.hex";
const std::string loader_hex = images + "/ramagent.hex";

run_options fleet_run(const std::string& fleet, std::vector<std::string> args) {
    run_options options;
    options.binary = fleet;
    options.with_modem = false;
    options.args = std::move(args);
    return options;
}

// The report's line for the port, as the report names it; null when there is
// not exactly one.
json entry_of(const std::vector<json>& lines, const std::string& port) {
    json found;
    int count = 0;
    for (const json& line : lines) {
        if (line.is_object() && line.value("port", json()) == port) {
            found = line;
            ++count;
        }
    }
    EXPECT_EQ(count, 1) << port;
    return count == 1 ? found : json();
}

// Whether the summary's line for the run named name begins its result column
// with result.
bool summary_says(const std::string& out, const std::string& name, const std::string& result) {
    const std::string shown = shown_name(name.c_str());
    const auto table = out.rfind("\nport ");
    const auto line = out.find("\n" + shown + "  ", table == std::string::npos ? 0 : table);
    if (table == std::string::npos || line == std::string::npos) {
        return false;
    }
    const auto from = out.find_first_not_of(' ', line + 1 + shown.size());
    return out.compare(from, result.size(), result) == 0 &&
           out.compare(from + result.size(), 2, "  ") == 0;
}

// The firmware's records, but for the end-of-file record, copies times over,
// then the end: every copy programs the same addresses, so the Flash ends as
// firmware.bin after an upload as many times longer.
std::string longer_firmware(const temp_dir& dir, int copies) {
    const std::string text = read_file(firmware_hex);
    const std::string body = text.substr(0, text.size() - eof_record.size());
    std::string longer;
    for (int copy = 0; copy < copies; ++copy) {
        longer += body;
    }
    return dir.file("long firmware.hex", longer + eof_record);
}

// A modem that erases at once.
sim_scenario quick_modem() {
    sim_scenario scenario;
    scenario.erase_ms = 0;
    return scenario;
}

// ... that refuses the firmware's third line the first time only, so that a
// re-load completes its Flash.
sim_scenario refusing_modem() {
    sim_scenario scenario = quick_modem();
    scenario.firmware_ack_at = {{3, "E"}};
    scenario.firmware_faults_once = true;
    return scenario;
}

// Simulated modems served in this process, each a session on a pseudo-
// terminal of its own behind a link in the test's folder, from the moment it
// is added until finish; the records are read after it.
struct modem_bank {
    struct modem {
        std::string link;
        pty_pair pty;
        sim_scenario scenario;
        sim_record record;
        std::thread session;
    };
    std::list<modem> modems; // a list: each session holds on to its element
    std::atomic<bool> stop{false};

    modem& add(const std::string& link, const sim_scenario& scenario) {
        modem& one = modems.emplace_back();
        one.link = link;
        one.pty = open_raw_pty();
        one.scenario = scenario;
        if (symlink(one.pty.slave_path.c_str(), link.c_str()) != 0) {
            ADD_FAILURE() << "cannot link " << link;
        }
        one.session = std::thread(
            [&one, this] { sim_serve(one.pty.master, one.scenario, one.record, stop); });
        return one;
    }
    void finish() {
        stop = true;
        for (modem& one : modems) {
            if (one.session.joinable()) {
                one.session.join();
                close_pty(one.pty);
            }
        }
    }
    ~modem_bank() {
        finish();
    }
};

// The fleet over every modem of the bank, args before the ports.
run_options fleet_over(const std::string& fleet, const modem_bank& bank,
                       std::vector<std::string> args) {
    run_options options = fleet_run(fleet, std::move(args));
    for (const modem_bank::modem& one : bank.modems) {
        options.args.push_back(one.link);
    }
    return options;
}

bool flashed(const modem_bank::modem& modem) {
    const std::string image = read_file(images + "/firmware.bin");
    return std::string(modem.record.flash.begin(), modem.record.flash.end()) == image;
}

// Never erased, never asked to be.
bool untouched(const modem_bank::modem& modem) {
    return !modem.record.erased && modem.record.received.find("REPROGRAM") == std::string::npos &&
           modem.record.flash.empty();
}

// The romup whose command line names the port (-pPORT), found in /proc; -1
// when there is none.
pid_t romup_on(const std::string& port) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::vector<std::string> words;
        std::istringstream line(read_file(entry.path().string() + "/cmdline"));
        for (std::string word; std::getline(line, word, '\0');) {
            words.push_back(word);
        }
        if (!words.empty() && ends_with(words[0], "/romup") &&
            std::find(words.begin(), words.end(), "-p" + port) != words.end()) {
            return static_cast<pid_t>(std::stol(name));
        }
    }
    return -1;
}

// Sends the signal to the romup on the port; false when there is none (never
// kill's -1, which would reach every process).
bool signal_romup_on(const std::string& port, int signal_number) {
    const pid_t pid = romup_on(port);
    return pid > 0 && kill(pid, signal_number) == 0;
}

// The command stored in the report, run by bash in the test's folder with the
// fleet found on the PATH, answered y.
run_result run_stored_command(const temp_dir& dir, const json& entry) {
    run_options options;
    options.binary = "/bin/bash";
    options.with_modem = false;
    options.args = {"-c", "PATH=" + dir.path + ":$PATH; " + entry.value("reload_command", "")};
    options.answer = "y\n";
    return run_romup(options);
}

// ---- Whole fleets against romup-sim programs --------------------------------

struct fleet_port {
    std::string link; // the port's name in the test's folder
    std::vector<std::string> sim_args;
    std::string result; // in the summary and the report ("flashed": in its Flash at the end)
    bool erased;
};

struct fleet_case {
    const char* name;
    std::vector<fleet_port> ports;
    std::vector<std::string> options; // before the ports
    std::string answer;               // "" for the end of input
    int status;
    // The run on the first port fails past the erase: the fleet's re-load
    // command is run as printed, and must complete its Flash.
    bool reload_after = false;
    // Sent to romup-fleet at its question, before the answer.
    std::vector<int> signals_at_question = {};
};

// romup-sim programs as an operator starts them, each serving run after run
// until the test interrupts it; then it saves its Flash.
struct sim_programs {
    std::vector<pid_t> pids;
    void stop() {
        for (pid_t pid : pids) {
            kill(pid, SIGINT);
            ended_well(pid, 10);
        }
        pids.clear();
    }
    ~sim_programs() {
        stop();
    }
};

class Fleet : public ::testing::TestWithParam<fleet_case> {};

TEST_P(Fleet, EachPortEndsAsItsModemLetsIt) {
    const fleet_case& row = GetParam();
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);

    sim_programs modems;
    std::vector<std::string> ports;
    for (std::size_t index = 0; index < row.ports.size(); ++index) {
        const std::string link = dir.path + "/" + row.ports[index].link;
        const std::string number = std::to_string(index);
        std::vector<std::string> args = row.ports[index].sim_args;
        args.insert(args.begin(), {ROMUP_SIM_BINARY, "--link", link, "--flash",
                                   dir.path + "/flash" + number, "--erase-ms", "0"});
        const pid_t pid = start_program(args, dir.path + "/sim" + number + ".out");
        ASSERT_NE(pid, -1);
        modems.pids.push_back(pid);
        ASSERT_TRUE(wait_for_file(link));
        ports.push_back(link);
    }

    const std::string report_path = dir.path + "/report.json";
    run_options options = fleet_run(fleet, {"-f" + firmware_hex, "-l", loader_hex, "--report",
                                            report_path, "--logs=" + dir.path + "/logs"});
    options.args.insert(options.args.end(), row.options.begin(), row.options.end());
    options.args.insert(options.args.end(), ports.begin(), ports.end());
    options.answer = row.answer;
    options.at_question = [&](pid_t fleet, int) {
        for (int signal_number : row.signals_at_question) {
            kill(fleet, signal_number);
        }
    };
    const run_result run = run_romup(options);
    // A signal before the answer outweighs the "y" typed after it.
    EXPECT_EQ(run.out.find(": every run is told no; no Flash is erased") != std::string::npos,
              !row.signals_at_question.empty())
        << run.out;
    EXPECT_EQ(run.status, row.status) << run.out << run.err;
    EXPECT_NE(run.out.find(row.options.empty() ? "[Y/N]? \n" : "modems [Y/N]? y (--yes)\n"),
              std::string::npos)
        << run.out;

    // One line per run, in the order the runs ended.
    const std::vector<json> lines = report_lines(report_path);
    EXPECT_EQ(lines.size(), row.ports.size()) << run.out;
    for (std::size_t index = 0; index < row.ports.size(); ++index) {
        const fleet_port& port = row.ports[index];
        SCOPED_TRACE(port.link);
        json entry = entry_of(lines, ports[index]);
        ASSERT_TRUE(entry.is_object()) << run.out;
        EXPECT_EQ(entry["result"], port.result);
        EXPECT_EQ(entry["erased"], port.erased);
        const bool flashed = port.result.rfind("flashed", 0) == 0;
        EXPECT_EQ(entry["status"], flashed ? 0 : 1);
        EXPECT_EQ(entry["message"].is_null(), flashed || port.result == "declined");
        EXPECT_TRUE(summary_says(run.out, ports[index], port.result)) << run.out;
        // Its log, named after the port's path: the command line, then what
        // its romup printed.
        std::string name = ports[index].substr(1);
        std::replace(name.begin(), name.end(), '/', '-');
        const std::string log = read_file(dir.path + "/logs/" + name + ".log");
        EXPECT_EQ(log.substr(0, log.find('\n')).find(dir.path + "/romup -w "), 0U) << log;
        EXPECT_EQ(log.substr(log.find('\n') + 1, banner.size()), banner);
    }

    if (row.reload_after) {
        // The fleet's re-load command, as printed beneath the summary.
        const auto start = run.out.rfind("\n  romup-fleet ");
        ASSERT_NE(start, std::string::npos) << run.out;
        const std::string command =
            run.out.substr(start + 3, run.out.find('\n', start + 1) - start - 3);
        // The hint romup printed, under its port.
        EXPECT_NE(run.out.find(ports[0] + ":   The Flash is incomplete"), std::string::npos);
        options.binary = "/bin/sh";
        options.args = {"-c", "PATH=" + dir.path + ":$PATH; " + command};
        options.answer = "y\n";
        const run_result second = run_romup(options);
        EXPECT_EQ(second.status, 0) << command << "\n" << second.out << second.err;
    }
    modems.stop();
    for (std::size_t index = 0; index < row.ports.size(); ++index) {
        const bool flashed = read_file(dir.path + "/flash" + std::to_string(index)) ==
                             read_file(images + "/firmware.bin");
        EXPECT_EQ(flashed, row.ports[index].result == "flashed" || (row.reload_after && index == 0))
            << row.ports[index].link;
    }
}

const fleet_port good_a{"ttyA", {}, "flashed", true};
const fleet_port good_b{"tty B", {}, "flashed", true};
const fleet_port declined_a{"ttyA", {}, "declined", false};
const fleet_port declined_b{"tty B", {}, "declined", false};
// romup's messages as the fleet shows them: the line of the constant romup prints.
const std::string modem_silent = line_of(modem_silent_text);
const std::string flash_refused = line_of(flash_refused_text);

const fleet_port unanswered_a{"ttyA", {"--probe-without-zero"}, modem_silent, false};
const fleet_port faulty_a{
    "tty 'A\"", {"--bad-firmware-ack", "3", "--firmware-fault-once"}, flash_refused, true};

const fleet_case fleet_cases[] = {
    {"AllFlashed", {good_a, good_b}, {}, "y\n", 0},
    // The probe fails on one port: it is never erased, the others go on.
    {"ProbeFails", {unanswered_a, good_b}, {}, "Y\n", 1},
    // A line fault past the erase, on a port whose name needs quoting.
    {"FailsPastTheErase", {faulty_a, good_b}, {}, "y\n", 1, true},
    {"Declined", {declined_a, declined_b}, {}, "n\n", 1},
    {"EndOfInput", {declined_a, declined_b}, {}, "", 1},
    {"InterruptedAtTheQuestion", {declined_a, declined_b}, {}, "y\n", 1, false, {SIGINT}},
    {"HangUpAtTheQuestion", {declined_a}, {}, "y\n", 1, false, {SIGHUP}},
    {"Yes", {good_a, good_b}, {"--yes"}, "", 0},
};

INSTANTIATE_TEST_SUITE_P(Fleet, Fleet, ::testing::ValuesIn(fleet_cases), row_name());

// ---- The rollout, seen from the modems --------------------------------------

TEST(FleetRollout, AFailedCanaryHoldsBackEveryOtherModem) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    modem_bank::modem& canary = bank.add(dir.path + "/ttyA", refusing_modem());
    bank.add(dir.path + "/ttyB", quick_modem());
    bank.add(dir.path + "/ttyC", quick_modem());
    const std::string report = dir.path + "/report.json";
    run_options options = fleet_over(
        fleet, bank,
        {"-f" + firmware_hex, "-l" + loader_hex, "--yes", "--canary", "1", "--report", report});
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const std::vector<json> lines = report_lines(report);
    EXPECT_EQ(lines.size(), 3U);
    const json first = entry_of(lines, canary.link);
    EXPECT_EQ(first.value("canary", false), true);
    EXPECT_EQ(first.value("erased", false), true);
    EXPECT_EQ(first.value("result", ""), flash_refused);
    const std::string held_back =
        "held back: canary " + canary.link + " failed (" + flash_refused + ")";
    for (const modem_bank::modem& other : bank.modems) {
        if (&other == &canary) {
            continue;
        }
        SCOPED_TRACE(other.link);
        EXPECT_TRUE(untouched(other));
        EXPECT_TRUE(summary_says(run.out, other.link, held_back)) << run.out;
        const json entry = entry_of(lines, other.link);
        EXPECT_EQ(entry.value("result", ""), held_back);
        EXPECT_EQ(entry.value("message", json()), held_back);
        EXPECT_EQ(entry.value("canary", true), false);
        EXPECT_EQ(entry.value("erased", true), false);
    }
}

TEST(FleetRollout, NoMoreThanTheCapPastTheirYesAtOnce) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    // From each modem's "REPROGRAM" to the second "AT&F1" after its restart:
    // within the span from its romup's "y" to its end.
    std::mutex counting;
    int past_yes = 0;
    int most = 0;
    std::map<int, int> resets; // the "AT&F1"s since the modem's "STARTUP", -1 before it
    modem_bank bank;
    for (int index = 0; index < 5; ++index) {
        sim_scenario scenario = quick_modem();
        resets[index] = -1;
        scenario.on_command = [&, index](const std::string& command) {
            const std::lock_guard<std::mutex> hold(counting);
            if (command == "REPROGRAM") {
                most = std::max(most, ++past_yes);
            } else if (command == "STARTUP") {
                resets[index] = 0;
            } else if (command == "AT&F1" && resets[index] >= 0 && ++resets[index] == 2) {
                --past_yes;
            }
        };
        bank.add(dir.path + "/tty" + std::to_string(index), scenario);
    }
    run_options options =
        fleet_over(fleet, bank, {"-f" + firmware_hex, "-l" + loader_hex, "--yes", "--jobs", "2"});
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_LE(most, 2);
    EXPECT_GE(most, 1);
    EXPECT_EQ(past_yes, 0);
    for (const modem_bank::modem& modem : bank.modems) {
        EXPECT_TRUE(flashed(modem)) << modem.link;
    }
}

// ---- The report ---------------------------------------------------------------

// The seconds since the epoch of an ISO 8601 time in UTC to the second
// (2026-12-09T10:11:12Z); -1 for any other text.
std::time_t utc_seconds(const std::string& text) {
    std::tm parts{};
    int length = 0;
    if (text.size() != 20 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &length) != 6 ||
        length != 20) {
        return -1;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return timegm(&parts);
}

std::string sha256_of(const std::string& path) {
    std::string sum;
    if (std::FILE* pipe = popen(("sha256sum < '" + path + "'").c_str(), "r")) {
        char hex[65] = "";
        if (std::fscanf(pipe, "%64s", hex) == 1) {
            sum = hex;
        }
        pclose(pipe);
    }
    return sum;
}

TEST(FleetReport, HoldsEveryKeyOfAFlashedRun) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    const modem_bank::modem& modem = bank.add(dir.path + "/ttyA", quick_modem());
    const std::string report = dir.path + "/report.json";
    const std::time_t before = std::time(nullptr);
    const run_result run = run_romup(fleet_run(
        fleet, {"-f" + firmware_hex, "-l" + loader_hex, "--yes", "--report", report, modem.link}));
    const std::time_t after = std::time(nullptr);
    bank.finish();
    EXPECT_EQ(run.status, 0) << run.out << run.err;

    const std::vector<json> lines = report_lines(report);
    ASSERT_EQ(lines.size(), 1U);
    json entry = lines[0];
    std::set<std::string> keys;
    for (const auto& item : entry.items()) {
        keys.insert(item.key());
    }
    EXPECT_EQ(keys, (std::set<std::string>{"port", "device", "id_path", "serial", "firmware",
                                           "firmware_sha256", "host", "started", "ended", "seconds",
                                           "status", "result", "message", "canary", "erased",
                                           "reload_command"}));
    EXPECT_EQ(entry["port"], modem.link);
    EXPECT_EQ(entry["device"], modem.pty.slave_path);
    // A pseudo-terminal is none of udev's.
    EXPECT_TRUE(entry["id_path"].is_null());
    EXPECT_TRUE(entry["serial"].is_null());
    EXPECT_EQ(entry["firmware"], firmware_hex);
    const std::string sum = sha256_of(firmware_hex);
    EXPECT_EQ(sum.size(), 64U);
    EXPECT_EQ(entry["firmware_sha256"], sum);
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(entry["host"], std::string(host));
    const std::time_t started = utc_seconds(entry.value("started", ""));
    const std::time_t ended = utc_seconds(entry.value("ended", ""));
    EXPECT_LE(before, started) << entry.dump();
    EXPECT_LE(started, ended) << entry.dump();
    EXPECT_LE(ended, after) << entry.dump();
    EXPECT_TRUE(entry["seconds"].is_number());
    EXPECT_EQ(entry["status"], 0);
    EXPECT_EQ(entry["result"], "flashed");
    EXPECT_TRUE(entry["message"].is_null());
    EXPECT_EQ(entry["canary"], false);
    EXPECT_EQ(entry["erased"], true);
    EXPECT_TRUE(entry["reload_command"].is_null());
}

// A fleet killed with SIGKILL, one run ended and one still going: the report
// keeps the ended run's line, whole, and nothing of the other.
struct killed_case {
    const char* name;
    bool yes;          // --yes: the second run goes past its y
    int copies;        // of the firmware's records: a long upload to be killed in
    std::string event; // on the fleet's screen, after the second port's name
};

class FleetKilled : public ::testing::TestWithParam<killed_case> {};

TEST_P(FleetKilled, ReportKeepsTheLinesOfTheEndedRuns) {
    const killed_case& row = GetParam();
    // The orphaned romup becomes the test's child, to be reaped.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    sim_scenario silent = quick_modem();
    silent.silent = true;
    const modem_bank::modem& quiet = bank.add(dir.path + "/ttyQuiet", silent);
    const modem_bank::modem& busy = bank.add(dir.path + "/ttyBusy", quick_modem());
    const std::string report = dir.path + "/report.json";
    run_options options =
        fleet_run(fleet, {"-f" + (row.copies > 1 ? longer_firmware(dir, row.copies) : firmware_hex),
                          "-l" + loader_hex, "--report", report, quiet.link, busy.link});
    if (row.yes) {
        options.args.push_back("--yes");
    }
    options.answer = "y\n";
    // A fleet killed leaves its private copies: in the test's folder, they go with it.
    options.environment = {"TMPDIR=" + dir.path};
    bool killed = false;
    pid_t orphan = -1;
    options.on_poll = [&](pid_t fleet_pid, const std::string& out) {
        if (!killed && out.find(busy.link + row.event) != std::string::npos &&
            read_file(report).find('\n') != std::string::npos) {
            killed = true;
            orphan = romup_on(busy.link);
            kill(fleet_pid, SIGKILL);
        }
    };
    const run_result run = run_romup(options);
    ASSERT_GT(orphan, 0) << run.out;
    kill(-orphan, SIGKILL);
    EXPECT_EQ(waitpid(orphan, nullptr, 0), orphan);
    bank.finish();

    EXPECT_EQ(run.status, -1) << run.out;
    const std::vector<json> lines = report_lines(report);
    ASSERT_EQ(lines.size(), 1U) << read_file(report);
    EXPECT_EQ(lines[0].value("port", ""), quiet.link);
    EXPECT_EQ(lines[0].value("result", ""), modem_silent);
}

const killed_case killed_cases[] = {
    {"AtTheQuestion", false, 1, ": question\n"},
    {"DuringTheFirmware", true, 400, ": firmware\n"},
};

INSTANTIATE_TEST_SUITE_P(Fleet, FleetKilled, ::testing::ValuesIn(killed_cases), row_name());

// ---- Hostile input ----------------------------------------------------------

TEST(FleetHostile, FirmwareFromAPipeIsCopiedOnceForEveryPort) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    fifo_writer pipe(dir.path + "/fw.fifo", read_file(firmware_hex));
    modem_bank bank;
    for (const char* name : {"ttyA", "ttyB", "ttyC"}) {
        bank.add(dir.path + "/" + name, quick_modem());
    }
    const modem_bank::modem& failing = bank.add(dir.path + "/ttyFails", refusing_modem());
    const std::string report = dir.path + "/report.json";
    run_options options =
        fleet_over(fleet, bank, {"-f" + pipe.path, "-l" + loader_hex, "--yes", "--report", report});
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    for (const modem_bank::modem& modem : bank.modems) {
        EXPECT_EQ(flashed(modem), &modem != &failing) << modem.link;
    }
    const std::vector<json> lines = report_lines(report);
    EXPECT_EQ(lines.size(), 4U);
    const json entry = entry_of(lines, failing.link);
    EXPECT_EQ(entry.value("firmware", ""), pipe.path);
    const std::string command =
        "romup-fleet -c -f" + std::string(firmware_placeholder) + " -s19200 " + failing.link;
    EXPECT_EQ(entry.value("reload_command", json()), command);
    EXPECT_NE(run.out.find("\n  " + command + "\n"), std::string::npos) << run.out;
}

// A file-size limit below the images' copies: said at the start, status 2,
// no modem touched and no copy left.
TEST(FleetHostile, FileSizeLimitBelowTheImagesIsSaidBeforeAnyRun) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    std::filesystem::create_directory(dir.path + "/tmp");
    modem_bank bank;
    bank.add(dir.path + "/ttyA", quick_modem());
    run_options options =
        fleet_over(fleet, bank, {"-f" + firmware_hex, "-l" + loader_hex, "--yes"});
    options.launcher = {"/usr/bin/prlimit", "--fsize=1000", "--"};
    options.environment = {"TMPDIR=" + dir.path + "/tmp"};
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.err.find(std::strerror(EFBIG)), std::string::npos) << run.err;
    EXPECT_TRUE(untouched(bank.modems.front()));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path + "/tmp"));
}

// The first lines of an image and its end record.
std::string image_head(const std::string& path, int lines) {
    std::istringstream in(read_file(path));
    std::string head;
    std::string line;
    for (int index = 0; index < lines && std::getline(in, line); ++index) {
        head += line + "\n";
    }
    return head + ":00000001FF\n";
}

// Under a file-size limit that the images' copies fit in but the report does
// not: the fleet is not ended by SIGXFSZ, every modem is flashed, and the
// report keeps whole lines only.
TEST(FleetHostile, FileSizeLimitCostsTheReportsLinesAndNoModem) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    const std::string firmware = dir.file("fw.hex", image_head(firmware_hex, 3));
    const std::string loader = dir.file("loader.hex", image_head(loader_hex, 3));
    modem_bank bank;
    for (const char* name : {"ttyA", "ttyB", "ttyC"}) {
        bank.add(dir.path + "/" + name, quick_modem());
    }
    const std::string report = dir.path + "/report.json";
    run_options options =
        fleet_over(fleet, bank, {"-f" + firmware, "-l" + loader, "--yes", "--report", report});
    options.launcher = {"/usr/bin/prlimit", "--fsize=1000", "--"};
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    for (const modem_bank::modem& modem : bank.modems) {
        EXPECT_TRUE(summary_says(run.out, modem.link, "flashed")) << run.out;
    }
    const std::vector<json> lines = report_lines(report);
    EXPECT_LT(lines.size(), 3U);
    EXPECT_NE(run.out.find(" lines could not be written to the report "), std::string::npos)
        << run.out;
}

TEST(FleetHostile, RomupKilledMidFirmwareIsReloadedByItsCommand) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    sim_scenario scenario = quick_modem();
    const std::string link = dir.path + "/ttyA";
    // Killed once its next record and that record's CR (two writes) wait at
    // the modem, in the first upload only: a record cut before its CR would
    // hold the "X" of the re-load in the loader's line.
    auto killed = std::make_shared<std::atomic<bool>>(false);
    auto master = std::make_shared<std::atomic<int>>(-1);
    const int record_and_cr = 76;
    scenario.on_firmware_line = [link, killed, master, record_and_cr](int line) {
        if (line != 100 || killed->exchange(true)) {
            return;
        }
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        int waiting = 0;
        while ((ioctl(master->load(), FIONREAD, &waiting) != 0 || waiting < record_and_cr) &&
               std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_GE(waiting, record_and_cr);
        EXPECT_TRUE(signal_romup_on(link, SIGKILL));
    };
    const modem_bank::modem& modem = bank.add(link, scenario);
    master->store(modem.pty.master);
    const std::string report = dir.path + "/report.json";
    const run_result run = run_romup(fleet_run(
        fleet, {"-f" + firmware_hex, "-l" + loader_hex, "--yes", "--report", report, link}));
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const std::vector<json> lines = report_lines(report);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].value("erased", false), true);
    EXPECT_EQ(lines[0].value("result", ""), "romup was killed by signal 9 (Killed)");
    ASSERT_TRUE(lines[0]["reload_command"].is_string());

    const run_result reload = run_stored_command(dir, lines[0]);
    EXPECT_EQ(reload.status, 0) << reload.out << reload.err;
    bank.finish();
    EXPECT_TRUE(flashed(modem));
}

TEST(FleetHostile, SecondFleetOnTheSameLogsKeepsToItsOwn) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    bank.add(dir.path + "/ttyA", quick_modem());
    bank.add(dir.path + "/ttyB", quick_modem());
    const std::string logs = dir.path + "/logs";
    const auto fleet_reporting = [&](const std::string& report) {
        return fleet_over(
            fleet, bank,
            {"-f" + firmware_hex, "-l" + loader_hex, "--logs", logs, "--report", report});
    };
    // The second fleet runs while the first one's romups hold their ports,
    // each at its question.
    run_options first = fleet_reporting(dir.path + "/first.json");
    first.answer = "y\n";
    run_result second;
    first.on_poll = [&](pid_t, const std::string& out) {
        if (second.status == -1 && ends_with(out, "[Y/N]? ")) {
            run_options options = fleet_reporting(dir.path + "/second.json");
            options.args.push_back("--yes");
            second = run_romup(options);
        }
    };
    const run_result run = run_romup(first);
    bank.finish();

    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(second.status, 1) << second.out << second.err;
    for (const modem_bank::modem& modem : bank.modems) {
        SCOPED_TRACE(modem.link);
        EXPECT_TRUE(flashed(modem));
        const std::string in_use = around(port_in_use_text, modem.link);
        EXPECT_EQ(entry_of(report_lines(dir.path + "/second.json"), modem.link).value("result", ""),
                  line_of(in_use.c_str()));
        std::string name = modem.link.substr(1);
        std::replace(name.begin(), name.end(), '/', '-');
        const std::string own = read_file(logs + "/" + name + ".log");
        const std::string other = read_file(logs + "/" + name + "-2.log");
        for (const std::string* log : {&own, &other}) {
            EXPECT_EQ(log->find(dir.path + "/romup -w "), 0U) << *log;
            EXPECT_EQ(log->find('\0'), std::string::npos);
        }
        EXPECT_NE(own.find(flash_loaded_text), std::string::npos) << own;
        EXPECT_EQ(own.find("in use"), std::string::npos) << own;
        EXPECT_NE(other.find(in_use), std::string::npos) << other;
    }
}

// Signals sent to the fleet once a modem is being written: none ends it.
struct signals_case {
    const char* name;
    std::vector<int> signals;
    bool told; // the fleet says once that it ignores them, naming the first it took
};

class FleetSignalsAfterYes : public ::testing::TestWithParam<signals_case> {};

TEST_P(FleetSignalsAfterYes, EveryRunGoesOnToItsEnd) {
    const signals_case& row = GetParam();
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    bank.add(dir.path + "/ttyA", quick_modem());
    bank.add(dir.path + "/ttyB", quick_modem());
    const std::string report = dir.path + "/report.json";
    run_options options = fleet_over(
        fleet, bank, {"-f" + firmware_hex, "-l" + loader_hex, "--yes", "--report", report});
    bool sent = false;
    options.on_poll = [&](pid_t pid, const std::string& out) {
        // Taken from here on with the runs told y, before the first is
        // past its erase, or later.
        if (!sent && out.find("[Y/N]? y (--yes)\n") != std::string::npos) {
            sent = true;
            for (int signal_number : row.signals) {
                kill(pid, signal_number);
            }
        }
    };
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_TRUE(sent);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\nport "), std::string::npos) << run.out;
    const std::string ignored = "\nromup-fleet: signal ignored (";
    const auto told = run.out.find(ignored);
    EXPECT_EQ(told != std::string::npos, row.told) << run.out;
    if (told != std::string::npos) {
        EXPECT_EQ(run.out.find(ignored, told + 1), std::string::npos) << run.out;
        const auto name = told + ignored.size();
        const std::string named = run.out.substr(name, run.out.find(')', name) - name);
        EXPECT_TRUE(std::any_of(row.signals.begin(), row.signals.end(), [&](int signal_number) {
            return named == strsignal(signal_number);
        })) << named;
    }
    const std::vector<json> lines = report_lines(report);
    EXPECT_EQ(lines.size(), 2U);
    for (const modem_bank::modem& modem : bank.modems) {
        EXPECT_TRUE(flashed(modem)) << modem.link;
        EXPECT_EQ(entry_of(lines, modem.link).value("result", ""), "flashed");
    }
}

const signals_case signals_cases[] = {
    {"UserAndFileSize", {SIGUSR1, SIGXFSZ}, true},
    {"InterruptTerminateHangUp", {SIGINT, SIGTERM, SIGHUP}, true},
    // A full disk's signal: its failed write is counted where it was made.
    {"FileSizeAlone", {SIGXFSZ}, false},
};

INSTANTIATE_TEST_SUITE_P(Fleet, FleetSignalsAfterYes, ::testing::ValuesIn(signals_cases),
                         row_name());

// A firmware whose name holds what romup prints: the run is read for what it
// did, never for the name.
struct named_firmware_case {
    const char* name;
    std::string file;
    bool refusing; // the modem refuses a firmware line
    std::string answer;
    std::string result;
    bool erased;
};

class FleetFirmwareName : public ::testing::TestWithParam<named_firmware_case> {};

TEST_P(FleetFirmwareName, IsNoMessageOfRomups) {
    const named_firmware_case& row = GetParam();
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    const std::string firmware = dir.file(row.file, read_file(firmware_hex));
    modem_bank bank;
    const modem_bank::modem& modem =
        bank.add(dir.path + "/ttyA", row.refusing ? refusing_modem() : quick_modem());
    const std::string report = dir.path + "/report.json";
    run_options options =
        fleet_run(fleet, {"-f" + firmware, "-l" + loader_hex, "--report", report, modem.link});
    options.answer = row.answer;
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_TRUE(summary_says(run.out, modem.link, row.result)) << run.out;
    const json entry = entry_of(report_lines(report), modem.link);
    EXPECT_EQ(entry.value("result", ""), row.result);
    EXPECT_EQ(entry.value("erased", !row.erased), row.erased);
    EXPECT_EQ(entry.value("reload_command", json()).is_string(), row.erased);
    EXPECT_EQ(modem.record.erased, row.erased);
}

const named_firmware_case named_firmware_cases[] = {
    {"SuccessInItsName", "fw New firmware code was successfully loaded to the Flash.hex", true,
     "y\n", flash_refused, true},
    {"ErasingInItsName", "fw Erasing Flash.hex", false, "n\n", "declined", false},
};

INSTANTIATE_TEST_SUITE_P(Fleet, FleetFirmwareName, ::testing::ValuesIn(named_firmware_cases),
                         row_name());

TEST(FleetHostile, PortNamesWithEscapesReachNoTerminalAndReloadTheirPort) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    const modem_bank::modem& escape = bank.add(dir.path + "/x\x1b[31mred", refusing_modem());
    const modem_bank::modem& stray = bank.add(dir.path + "/m\xff", refusing_modem());
    const std::string report = dir.path + "/report.json";
    const run_result run =
        run_romup(fleet_run(fleet, {"-f" + firmware_hex, "-l" + loader_hex, "--yes", "--report",
                                    report, escape.link, stray.link}));
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("x\\033[31mred"), std::string::npos) << run.out;

    const std::vector<json> lines = report_lines(report);
    ASSERT_EQ(lines.size(), 2U);
    // The text \xff in place of the byte, which no JSON string can hold.
    for (const std::string& port : {escape.link, dir.path + "/m\\xff"}) {
        SCOPED_TRACE(shown_name(port.c_str()));
        json entry = entry_of(lines, port);
        ASSERT_TRUE(entry["reload_command"].is_string()) << entry.dump();
        const run_result reload = run_stored_command(dir, entry);
        EXPECT_EQ(reload.status, 0) << reload.out << reload.err;
    }
    bank.finish();
    EXPECT_TRUE(flashed(escape));
    EXPECT_TRUE(flashed(stray));
}

// Refused before any run: status 2, and nothing touched or left anywhere.
struct refused_case {
    const char* name;
    std::string report;                // the --report argument, "{dir}" the test's folder
    int ports;                         // links, spread over the modems
    std::vector<std::string> launcher; // before the fleet's path
    std::string said;                  // on standard error
};

class FleetRefused : public ::testing::TestWithParam<refused_case> {};

// Everything in the folder, each file's bytes after its name.
std::string folder_listing(const std::string& path) {
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
        const std::string name = entry.path().string();
        entries.push_back(name + "\n" +
                          (entry.is_symlink()        ? std::filesystem::read_symlink(name).string()
                           : entry.is_regular_file() ? read_file(name)
                                                     : "a folder"));
    }
    std::sort(entries.begin(), entries.end());
    std::string listing;
    for (const std::string& entry : entries) {
        listing += entry + "\n";
    }
    return listing;
}

TEST_P(FleetRefused, BeforeAnyModemIsTouched) {
    const refused_case& row = GetParam();
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    dir.file("target", "the test's own\n");
    ASSERT_EQ(symlink((dir.path + "/target").c_str(), (dir.path + "/report.json").c_str()), 0);
    std::filesystem::create_directory(dir.path + "/tmp");
    modem_bank bank;
    for (const char* name : {"ttyA", "ttyB", "ttyC"}) {
        bank.add(dir.path + "/" + name, quick_modem());
    }
    run_options options =
        fleet_over(fleet, bank,
                   {"-f" + firmware_hex, "-l" + loader_hex, "--yes", "--logs", dir.path + "/logs",
                    with_paths(row.report, {{"{dir}", dir.path}})});
    // The ports beyond the modems' own links, all on the first modem.
    for (int index = 3; index < row.ports; ++index) {
        const std::string link = dir.path + "/port" + std::to_string(index);
        ASSERT_EQ(symlink(bank.modems.front().pty.slave_path.c_str(), link.c_str()), 0);
        options.args.push_back(link);
    }
    options.launcher = row.launcher;
    options.environment = {"TMPDIR=" + dir.path + "/tmp"};
    const std::string before = folder_listing(dir.path);
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 2) << run.out << run.err;
    EXPECT_NE(run.err.find(row.said), std::string::npos) << run.err;
    EXPECT_EQ(folder_listing(dir.path), before);
    for (const modem_bank::modem& modem : bank.modems) {
        EXPECT_EQ(modem.record.received, "") << modem.link;
    }
}

const refused_case refused_cases[] = {
    {"ReportThroughALink", "--report={dir}/report.json", 3, {}, "it is a symbolic link"},
    {"EmptyReportName", "--report=", 3, {}, "option --report= has an empty value"},
    // 33 ports on 24 descriptors, which the fleet may not raise.
    {"TooFewDescriptors",
     "--report={dir}/new.json",
     33,
     {"/bin/bash", "-c", "ulimit -n 24 && exec \"$0\" \"$@\""},
     "may open at most 24 (ulimit -n)"},
};

INSTANTIATE_TEST_SUITE_P(Fleet, FleetRefused, ::testing::ValuesIn(refused_cases), row_name());

TEST(FleetHostile, ClosedStandardInputDeclinesEveryRun) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    modem_bank bank;
    bank.add(dir.path + "/ttyA", quick_modem());
    bank.add(dir.path + "/ttyB", quick_modem());
    // No report and no logs: descriptor 0, left free, would go to a pipe.
    run_options options = fleet_over(fleet, bank, {"-f" + firmware_hex, "-l" + loader_hex});
    options.launcher = {"/bin/sh", "-c", "exec 0<&-; exec \"$0\" \"$@\""};
    options.deadline_s = 60;
    const run_result run = run_romup(options);
    bank.finish();

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    for (const modem_bank::modem& modem : bank.modems) {
        EXPECT_TRUE(untouched(modem)) << modem.link;
        EXPECT_TRUE(summary_says(run.out, modem.link, "declined")) << run.out;
    }
}

// A romup stopped before its question, and then the fleet interrupted: its
// "n" waits in the pipe; the fleet continues it 10 s later, and kills it 5 s
// after that. Here it stops again at each command it sends, as a romup that
// will not end.
TEST(FleetStoppedChild, IsContinuedThenKilledAfterItsNo) {
    temp_dir dir;
    const std::string fleet = fleet_beside_romup(dir);
    const std::string link = dir.path + "/ttyStopped";
    std::mutex noting;
    std::vector<std::chrono::steady_clock::time_point> commands;
    sim_scenario stopping = quick_modem();
    stopping.on_command = [&](const std::string&) {
        const std::lock_guard<std::mutex> hold(noting);
        commands.push_back(std::chrono::steady_clock::now());
        EXPECT_TRUE(signal_romup_on(link, SIGSTOP));
    };
    modem_bank bank;
    const modem_bank::modem& stopped = bank.add(link, stopping);
    const modem_bank::modem& other = bank.add(dir.path + "/ttyOther", quick_modem());
    const std::string report = dir.path + "/report.json";
    run_options options = fleet_run(fleet, {"-f" + firmware_hex, "-l" + loader_hex, "--report",
                                            report, stopped.link, other.link});
    options.answer = "y\n";
    std::chrono::steady_clock::time_point interrupted{};
    options.on_poll = [&](pid_t pid, const std::string& out) {
        const std::lock_guard<std::mutex> hold(noting);
        if (interrupted == std::chrono::steady_clock::time_point{} && !commands.empty() &&
            out.find(other.link + ": question\n") != std::string::npos) {
            interrupted = std::chrono::steady_clock::now();
            kill(pid, SIGINT);
        }
    };
    const run_result run = run_romup(options);
    const auto ended = std::chrono::steady_clock::now();
    bank.finish();

    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("every run is told no; no Flash is erased"), std::string::npos)
        << run.out;
    // Continued at 10 s: it sent its next command.
    const auto seconds_after = [&](std::chrono::steady_clock::time_point at) {
        return std::chrono::duration<double>(at - interrupted).count();
    };
    ASSERT_GE(commands.size(), 2U);
    EXPECT_GE(seconds_after(commands.back()), 10.0);
    EXPECT_GE(seconds_after(ended), 15.0);
    const std::vector<json> lines = report_lines(report);
    const std::string result = entry_of(lines, stopped.link).value("result", "");
    EXPECT_NE(result.find("killed"), std::string::npos) << result;
    EXPECT_NE(result.find("the Flash was not touched"), std::string::npos) << result;
    EXPECT_EQ(entry_of(lines, other.link).value("result", ""), "declined");
    EXPECT_TRUE(untouched(stopped));
    EXPECT_TRUE(untouched(other));
}

} // namespace
