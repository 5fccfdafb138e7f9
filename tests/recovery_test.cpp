// The way out of a failure past the erase, end to end: romup tells the
// operator to keep the modem powered and gives the re-load command for this
// port, firmware and line speed, in either mode; a modem that vanishes ends
// the upload with its phase's failure. Before the erase, after the restart, on
// a refusal and on success the exact outputs of the other tests hold no such
// command.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

const std::string images = ROMUP_IMAGES_DIR;
const std::string firmware = images + "/firmware.hex";
const std::string loader = images + "/ramagent.hex";
const std::string code_failed = "\r\nError while loading code\r\n";

struct recovery_case {
    const char* name;
    sim_scenario modem;
    std::string message; // the failure's own message, as standard output ends before any hint
    bool reload = false;
    std::string speed_option = ""; // "" for the default
    int chosen_speed = 19200;      // the listed rate the port was set to
};

sim_scenario modem_where(const std::function<void(sim_scenario&)>& change) {
    sim_scenario scenario;
    scenario.erase_ms = 0;
    change(scenario);
    return scenario;
}

class Recovery : public ::testing::TestWithParam<recovery_case> {};

TEST_P(Recovery, ReloadCommandOnlyPastTheErase) {
    const recovery_case& row = GetParam();
    run_options options;
    options.args = {"-p{port}", "-f" + firmware, row.reload ? std::string("-c") : "-l" + loader};
    if (!row.speed_option.empty()) {
        options.args.push_back(row.speed_option);
    }
    options.answer = "y\n";
    options.modem = row.modem;
    if (row.reload) {
        options.modem.start = sim_start::loader_running;
    }
    const run_result run = run_romup(options);
    // The loader's failures come before the erase.
    const std::string hint =
        row.message == code_failed
            ? ""
            : reload_hint(run.port_path, firmware, row.chosen_speed, run.sleeping_waits);
    EXPECT_TRUE(ends_with(run.out, row.message + hint)) << run.out;
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.line.vanished,
              row.modem.vanish_at_loader_line + row.modem.vanish_at_firmware_line > 0);
    EXPECT_EQ(run.err, "");
}

const std::string flash_failed = "\r\nError while loading Flash\r\n";
using row = recovery_case;

INSTANTIATE_TEST_SUITE_P(
    Dialogue, Recovery,
    ::testing::Values(
        // Forty bytes that are not the erase's "0" use up every attempt at once.
        row{"EraseNeverEndsInReloadMode",
            modem_where([](sim_scenario& s) { s.erase_answer = std::string(40, '.'); }),
            "Error while erasing Flash\r\n", true, "-s20000"},
        row{"FirmwareLineRefused",
            modem_where([](sim_scenario& s) { s.firmware_ack_at[100] = "E"; }), flash_failed, false,
            "-s300", 300},
        row{"FirmwareLineRefusedInReloadMode",
            modem_where([](sim_scenario& s) { s.firmware_ack_at[1] = "E"; }), flash_failed, true,
            "-s115200", 115200},
        row{"FirmwareLineUnanswered",
            modem_where([](sim_scenario& s) { s.firmware_ack_at[257] = ""; }), flash_failed, false,
            "-s20000"},
        // In re-load mode the first "X" is the one that starts the run.
        row{"LoaderNotBackInReloadMode", modem_where([](sim_scenario& s) {
                s.answers = {{"X", 2, "?"}};
            }),
            "Error while starting loader\r\n", true, "-s9999", 9600},
        row{"VanishAtFirstLoaderLine",
            modem_where([](sim_scenario& s) { s.vanish_at_loader_line = 1; }), code_failed},
        row{"VanishMidLoader", modem_where([](sim_scenario& s) { s.vanish_at_loader_line = 40; }),
            code_failed},
        row{"VanishAtFirstFirmwareLine",
            modem_where([](sim_scenario& s) { s.vanish_at_firmware_line = 1; }), flash_failed},
        row{"VanishMidFirmware",
            modem_where([](sim_scenario& s) { s.vanish_at_firmware_line = 200; }), flash_failed}),
    row_name{});

} // namespace
