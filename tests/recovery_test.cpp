// The way out of a failure past the erase, end to end: romup tells the
// operator to keep the modem powered and gives the re-load command for this
// port, firmware and line speed; before the erase, after the restart, on a
// refusal and on success it says nothing of the kind. And one rehearsal that
// follows the command it gives.
#include "harness.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using test_rows::operator<<;

const std::string images = ROMUP_IMAGES_DIR;
const std::string firmware = images + "/firmware.hex";
const std::string loader = images + "/ramagent.hex";

struct recovery_case {
    const char* name;
    bool reload;
    std::string speed_option; // "" for the default
    int chosen_speed;         // the listed rate the port was set to
    sim_scenario modem;
    std::string answer;
    std::string message; // the failure's own message, as standard output ends before any hint
    bool hinted;
};

sim_scenario modem_where(const std::function<void(sim_scenario&)>& change) {
    sim_scenario scenario;
    scenario.erase_ms = 0;
    change(scenario);
    return scenario;
}

const std::string loading_flash_failed = "\r\nError while loading Flash\r\n";

class Recovery : public ::testing::TestWithParam<recovery_case> {};

TEST_P(Recovery, ReloadCommandOnlyPastTheErase) {
    const recovery_case& row = GetParam();
    run_options options;
    options.args = {"-p{port}", "-f" + firmware};
    if (row.reload) {
        options.args.push_back("-c");
    } else {
        options.args.push_back("-l" + loader);
    }
    if (!row.speed_option.empty()) {
        options.args.push_back(row.speed_option);
    }
    options.answer = row.answer;
    options.modem = row.modem;
    if (row.reload) {
        options.modem.start = sim_start::loader_running;
    }
    const run_result run = run_romup(options);
    const std::string hint =
        row.hinted ? reload_hint(run.port_path, firmware, row.chosen_speed, run.sleeping_waits)
                   : "";
    const std::string tail = row.message + hint;
    ASSERT_GE(run.out.size(), tail.size()) << run.out;
    EXPECT_EQ(run.out.substr(run.out.size() - tail.size()), tail) << run.out;
    if (!row.hinted) {
        EXPECT_EQ(run.out.find("re-load mode"), std::string::npos) << run.out;
    }
    EXPECT_EQ(run.status, row.message == loaded ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, Recovery,
    ::testing::Values(
        // Forty bytes that are not the erase's "0" use up every attempt at once.
        // Forty bytes that are not the erase's "0" use up every attempt at once.
        recovery_case{"EraseNeverEnds", false, "", 19200,
                      modem_where([](sim_scenario& s) { s.erase_answer = std::string(40, '.'); }),
                      "y\n", "Error while erasing Flash\r\n", true},
        recovery_case{"EraseNeverEndsInReloadMode", true, "-s20000", 19200,
                      modem_where([](sim_scenario& s) { s.erase_answer = std::string(40, '.'); }),
                      "y\n", "Error while erasing Flash\r\n", true},
        recovery_case{"FirmwareLineRefused", false, "-s300", 300,
                      modem_where([](sim_scenario& s) { s.firmware_ack_at[100] = "E"; }), "y\n",
                      loading_flash_failed, true},
        recovery_case{"FirmwareLineRefusedInReloadMode", true, "-s115200", 115200,
                      modem_where([](sim_scenario& s) { s.firmware_ack_at[1] = "E"; }), "y\n",
                      loading_flash_failed, true},
        recovery_case{"FirmwareLineUnanswered", false, "-s20000", 19200,
                      modem_where([](sim_scenario& s) { s.firmware_ack_at[257] = ""; }), "y\n",
                      loading_flash_failed, true},
        recovery_case{"LoaderNotBackAfterTheFirmware", false, "", 19200,
                      modem_where([](sim_scenario& s) {
                          s.answers = {{"X", 1, ""}};
                      }),
                      "y\n", "Error while starting loader\r\n", true},
        // In re-load mode the first "X" is the one that starts the run.
        recovery_case{"LoaderNotBackInReloadMode", true, "-s9999", 9600,
                      modem_where([](sim_scenario& s) {
                          s.answers = {{"X", 2, "?"}};
                      }),
                      "y\n", "Error while starting loader\r\n", true},
        // Before the erase the Flash is untouched, after the restart it is whole.
        recovery_case{"ProbeUnanswered", false, "", 19200,
                      modem_where([](sim_scenario& s) { s.silent = true; }), "y\n",
                      "Modem does not respond\r\n", false},
        recovery_case{"LoaderLineRefused", false, "", 19200,
                      modem_where([](sim_scenario& s) { s.loader_ack_at[3] = "E"; }), "y\n",
                      "\r\nError while loading code\r\n", false},
        recovery_case{"NoReady", false, "", 19200,
                      modem_where([](sim_scenario& s) { s.loader_ready = "\r\nLOADER\r\n"; }),
                      "y\n", "Error while starting loader\r\n", false},
        recovery_case{"Declined", false, "", 19200, modem_where([](sim_scenario&) {}), "n\n",
                      aborted, false},
        recovery_case{"DeclinedInReloadMode", true, "", 19200, modem_where([](sim_scenario&) {}),
                      "n\n", aborted, false},
        recovery_case{"RestartUnanswered", false, "", 19200, modem_where([](sim_scenario& s) {
                          s.answers = {{"STARTUP", 1, ""}};
                      }),
                      "y\n", "Error while restarting modem\r\n", false},
        recovery_case{"Success", false, "", 19200, modem_where([](sim_scenario&) {}), "y\n", loaded,
                      false},
        recovery_case{"SuccessInReloadMode", true, "", 19200, modem_where([](sim_scenario&) {}),
                      "y\n", loaded, false}),
    row_name{});

// romup-sim as an operator starts it, in a child process, serving run after
// run; interrupted, it saves the Flash and removes its link.
struct sim_program {
    pid_t pid;
    sim_program(std::vector<std::string> args, const std::string& log) {
        args.insert(args.begin(), ROMUP_SIM_BINARY);
        pid = start_program(args, log);
    }
    ~sim_program() {
        kill(pid, SIGINT);
        ended_well(pid, 10);
    }
};

// The command line that romup printed after "Run romup again...", split at
// its blanks, without the command name.
std::vector<std::string> printed_command(const std::string& out) {
    const std::string lead = "\r\n  romup ";
    const std::size_t start = out.find(lead);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t end = out.find("\r\n", start + lead.size());
    std::vector<std::string> words;
    std::string line = out.substr(start + lead.size(), end - start - lead.size());
    for (std::size_t at = 0; at <= line.size();) {
        const std::size_t blank = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, blank - at));
        at = blank + 1;
    }
    return words;
}

TEST(Recovery, FollowingTheReloadCommandCompletesTheFlash) {
    temp_dir dir;
    const std::string link = dir.path + "/ttyTAV0";
    const std::string flash = dir.path + "/flash.bin";
    {
        // A line fault at firmware line 100, once: the re-load that follows
        // goes through, as it does after a glitch on a real line.
        sim_program modem({"--link", link, "--flash", flash, "--erase-ms", "0",
                           "--bad-firmware-ack", "100", "--firmware-fault-once"},
                          dir.path + "/sim.out");
        ASSERT_TRUE(wait_for_file(link));

        run_options failing;
        failing.with_modem = false;
        failing.args = {"-p" + link, "-f" + firmware, "-l" + loader};
        failing.answer = "y\n";
        const run_result first = run_romup(failing);
        ASSERT_EQ(first.status, 1);
        const std::string tail =
            loading_flash_failed + reload_hint(link, firmware, 19200, first.sleeping_waits);
        ASSERT_GE(first.out.size(), tail.size());
        EXPECT_EQ(first.out.substr(first.out.size() - tail.size()), tail);

        run_options following;
        following.with_modem = false;
        following.args = printed_command(first.out);
        following.answer = "y\n";
        const run_result second = run_romup(following);
        EXPECT_EQ(second.status, 0) << second.out;
        EXPECT_EQ(second.out.substr(second.out.size() - loaded.size()), loaded);
    }
    EXPECT_EQ(read_file(flash), read_file(images + "/firmware.bin"));
}

} // namespace
