// romup-fleet end to end: a copy of it beside a `romup` that is the test
// build, in a folder of the test's own, against one romup-sim program per
// port. One table: what each port's run ended with, on the screen and in the
// report read back with the JSON library, and what each simulated Flash holds.
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <unistd.h>

namespace {

using test_rows::operator<<;

const std::string images = ROMUP_IMAGES_DIR;

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
    const std::string fleet = dir.path + "/romup-fleet";
    std::filesystem::copy_file(ROMUP_FLEET_BINARY, fleet);
    ASSERT_EQ(symlink(ROMUP_FAST_BINARY, (dir.path + "/romup").c_str()), 0);

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

    run_options options;
    options.binary = fleet;
    options.with_modem = false;
    const std::string report_path = dir.path + "/report.json";
    options.args = {
        "-f" + images + "/firmware.hex", "-l", images + "/ramagent.hex", "--report", report_path,
        "--logs=" + dir.path + "/logs"};
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
    std::istringstream report(read_file(report_path));
    std::map<std::string, nlohmann::json> entries;
    for (std::string line; std::getline(report, line);) {
        const auto entry = nlohmann::json::parse(line);
        entries[entry["port"]] = entry;
    }
    EXPECT_EQ(entries.size(), row.ports.size()) << run.out;
    for (std::size_t index = 0; index < row.ports.size(); ++index) {
        const fleet_port& port = row.ports[index];
        SCOPED_TRACE(port.link);
        ASSERT_EQ(entries.count(ports[index]), 1U) << run.out;
        const auto& entry = entries[ports[index]];
        EXPECT_EQ(entry["result"], port.result);
        EXPECT_EQ(entry["erased"], port.erased);
        const bool flashed = port.result.rfind("flashed", 0) == 0;
        EXPECT_EQ(entry["status"], flashed ? 0 : 1);
        EXPECT_EQ(entry["message"].is_null(), flashed || port.result == "declined");
        // The summary's line for the port, from its result on.
        const auto summary = run.out.find("\n" + ports[index] + "  ", run.out.rfind("\nport "));
        ASSERT_NE(summary, std::string::npos) << run.out;
        const auto result = run.out.find_first_not_of(' ', summary + 1 + ports[index].size());
        EXPECT_EQ(run.out.compare(result, port.result.size(), port.result), 0) << run.out;
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
const fleet_port unanswered_a{"ttyA", {"--probe-without-zero"}, "Modem does not respond", false};
const fleet_port faulty_a{"tty 'A\"",
                          {"--bad-firmware-ack", "3", "--firmware-fault-once"},
                          "Error while loading Flash",
                          true};

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

} // namespace
