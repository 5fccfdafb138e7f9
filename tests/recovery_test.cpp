// The way out of a failure past the erase, end to end: romup tells the
// operator to keep the modem powered and gives the re-load command for this
// port, firmware and line speed; before the erase, after the restart, on a
// refusal and on success it says nothing of the kind. And one rehearsal that
// follows the command it gives.
#include "harness.h"

#include <csignal>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>

namespace {

using test_rows::operator<<;

const std::string images = ROMUP_IMAGES_DIR;
const std::string firmware = images + "/firmware.hex";
const std::string loader = images + "/ramagent.hex";

struct recovery_case {
    const char* name;
    sim_scenario modem;
    std::string message; // the failure's own message, as standard output ends before any hint
    bool hinted;
    bool reload = false;
    std::string speed_option = ""; // "" for the default
    int chosen_speed = 19200;      // the listed rate the port was set to
    std::string answer = "y\n";
};

sim_scenario modem_where(const std::function<void(sim_scenario&)>& change) {
    sim_scenario scenario;
    scenario.erase_ms = 0;
    change(scenario);
    return scenario;
}

// A modem with answers of its own to the commands named.
sim_scenario answering(const std::vector<sim_answer_override>& answers) {
    return modem_where([&](sim_scenario& s) { s.answers = answers; });
}

class Recovery : public ::testing::TestWithParam<recovery_case> {};

TEST_P(Recovery, ReloadCommandOnlyPastTheErase) {
    const recovery_case& row = GetParam();
    run_options options;
    options.args = {"-p{port}", "-f" + firmware, row.reload ? std::string("-c") : "-l" + loader};
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
    EXPECT_TRUE(ends_with(run.out, row.message + hint)) << run.out;
    if (!row.hinted) {
        EXPECT_EQ(run.out.find("re-load mode"), std::string::npos) << run.out;
    }
    EXPECT_EQ(run.status, row.message == loaded ? 0 : 1);
}

const sim_scenario working = modem_where([](sim_scenario&) {});
// Forty bytes that are not the erase's "0" use up every attempt at once.
const sim_scenario endless_erase =
    modem_where([](sim_scenario& s) { s.erase_answer = std::string(40, '.'); });
const std::string flash_failed = "\r\nError while loading Flash\r\n";
const std::string erase_failed = "Error while erasing Flash\r\n";
const std::string loader_failed = "Error while starting loader\r\n";
using row = recovery_case;

INSTANTIATE_TEST_SUITE_P(
    Dialogue, Recovery,
    ::testing::Values(
        row{"EraseNeverEnds", endless_erase, erase_failed, true},
        row{"EraseNeverEndsInReloadMode", endless_erase, erase_failed, true, true, "-s20000"},
        row{"FirmwareLineRefused",
            modem_where([](sim_scenario& s) { s.firmware_ack_at[100] = "E"; }), flash_failed, true,
            false, "-s300", 300},
        row{"FirmwareLineRefusedInReloadMode",
            modem_where([](sim_scenario& s) { s.firmware_ack_at[1] = "E"; }), flash_failed, true,
            true, "-s115200", 115200},
        row{"FirmwareLineUnanswered",
            modem_where([](sim_scenario& s) { s.firmware_ack_at[257] = ""; }), flash_failed, true,
            false, "-s20000"},
        row{"LoaderNotBackAfterTheFirmware", answering({{"X", 1, ""}}), loader_failed, true},
        // In re-load mode the first "X" is the one that starts the run.
        row{"LoaderNotBackInReloadMode", answering({{"X", 2, "?"}}), loader_failed, true, true,
            "-s9999", 9600},
        // Before the erase the Flash is untouched, after the restart it is whole.
        row{"ProbeUnanswered", modem_where([](sim_scenario& s) { s.silent = true; }),
            "Modem does not respond\r\n", false},
        row{"LoaderLineRefused", modem_where([](sim_scenario& s) { s.loader_ack_at[3] = "E"; }),
            "\r\nError while loading code\r\n", false},
        row{"NoReady", modem_where([](sim_scenario& s) { s.loader_ready = "\r\nLOADER\r\n"; }),
            loader_failed, false},
        row{"Declined", working, aborted, false, false, "", 19200, "n\n"},
        row{"DeclinedInReloadMode", working, aborted, false, true, "", 19200, "n\n"},
        row{"RestartUnanswered", answering({{"STARTUP", 1, ""}}),
            "Error while restarting modem\r\n", false},
        row{"Success", working, loaded, false},
        row{"SuccessInReloadMode", working, loaded, false, true}),
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
    const std::size_t from = start + lead.size();
    std::istringstream line(out.substr(from, out.find("\r\n", from) - from));
    return {std::istream_iterator<std::string>(line), std::istream_iterator<std::string>()};
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

        run_options options;
        options.with_modem = false;
        options.args = {"-p" + link, "-f" + firmware, "-l" + loader};
        options.answer = "y\n";
        const run_result first = run_romup(options);
        ASSERT_EQ(first.status, 1);
        EXPECT_TRUE(ends_with(
            first.out, flash_failed + reload_hint(link, firmware, 19200, first.sleeping_waits)))
            << first.out;

        options.args = printed_command(first.out);
        const run_result second = run_romup(options);
        EXPECT_EQ(second.status, 0) << second.out;
        EXPECT_TRUE(ends_with(second.out, loaded)) << second.out;
    }
    EXPECT_EQ(read_file(flash), read_file(images + "/firmware.bin"));
}

} // namespace
