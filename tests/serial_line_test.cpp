// romup on a real serial line, as far as a pseudo-terminal can stand for
// one. On a line that runs at its real rate (the simulated modem takes and
// sends each byte at 10 bits a byte, in wall-clock time, while romup's 2 s
// limit is the test build's 400 ms) a slow line's records must still be
// acknowledged in time. Through a preloaded stand-in for a serial driver:
// the low-latency request and its restore, and output stuck in the port
// discarded before it closes, on every way a run ends.
#include "harness.h"
#include "intel_hex.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <numeric>

namespace {

// A record of 32 data bytes: 75 characters, 76 bytes on the line with its CR,
// 1.27 s at 600 bit/s: more than three times the test build's 400 ms limit.
std::string long_record(std::uint16_t offset, std::uint8_t first) {
    std::vector<std::uint8_t> data(32);
    std::iota(data.begin(), data.end(), first);
    return hex_format(0, offset, data.data(), data.size());
}

TEST(PacedLine, LongRecordsOnASlowLineAreAcknowledged) {
    const std::string loader_record = long_record(0, 0x80);
    const std::string first = long_record(0, 0);
    const std::string second = long_record(32, 32);
    ASSERT_EQ(first.size(), 75u);
    small_run setup(loader_record + "\n" + eof_record, first + "\n" + second + "\n" + eof_record,
                    "y\n");
    setup.options.args.push_back("-s600");
    setup.options.modem.check_records = true;
    setup.options.modem.pace_bits_per_second = 600;
    const run_result run = run_romup(setup.options);
    EXPECT_EQ(run.out, setup.until_uploaded() + loaded);
    EXPECT_EQ(run.line.received, probe_commands + loader_record + "\r:00000001FF\rREPROGRAM\r" +
                                     first + "\r" + second + "\r:00000001FF\r" + restart_commands);
    std::string flash(64, '\0');
    std::iota(flash.begin(), flash.end(), '\0');
    EXPECT_EQ(std::string(run.line.flash.begin(), run.line.flash.end()), flash);
    EXPECT_EQ(run.status, 0);
}

using test_rows::operator<<;

// How the run ends once the port is open.
enum class run_end { success, decline, silent_modem, refused_firmware_line, no_port };

// One driver's behaviour: its mode and what its output does.
struct driver_mode {
    const char* mode;   // ROMUP_SERIAL_MODE
    const char* output; // ROMUP_SERIAL_OUTPUT: "" for what the device says
    // The driver's log: the serial requests, the flush and the close, in order.
    const char* log;
};

// One way a run ends, with every driver behaviour tried on it.
struct driver_case {
    const char* name;
    run_end end;
    std::vector<driver_mode> modes;
};

const char* const requested_and_restored = "get\nset low_latency\nget low_latency\nset\nclose\n";

class SerialDriver : public ::testing::TestWithParam<driver_case> {};

// The same run without the stand-in driver is the reference: the request,
// granted or refused, changes nothing on the line or on the screen.
TEST_P(SerialDriver, LowLatencyIsRestoredAndStuckOutputDiscardedBeforeClose) {
    const driver_case& row = GetParam();
    small_run setup(":00\n" + eof_record, "f1\nf2\n", row.end == run_end::decline ? "n\n" : "y\n");
    setup.options.modem.silent = row.end == run_end::silent_modem;
    if (row.end == run_end::refused_firmware_line) {
        setup.options.modem.firmware_ack_at[2] = "E";
    }
    if (row.end == run_end::no_port) {
        setup.options.args[0] = "-p" + setup.dir.path + "/no-such-port";
        setup.options.with_modem = false;
    }
    const run_result plain = run_romup(setup.options);
    EXPECT_EQ(plain.status, row.end == run_end::success ? 0 : 1);
    for (const driver_mode& driver : row.modes) {
        SCOPED_TRACE(std::string(driver.mode) + " " + driver.output);
        run_options options = setup.options;
        // The driver adds to its log: one of its own for each run.
        const std::string log =
            setup.dir.path + "/driver" + std::to_string(&driver - row.modes.data()) + ".log";
        options.environment = {std::string("LD_PRELOAD=") + ROMUP_SERIAL_PRELOAD,
                               "ROMUP_SERIAL_LOG=" + log,
                               std::string("ROMUP_SERIAL_MODE=") + driver.mode,
                               std::string("ROMUP_SERIAL_OUTPUT=") + driver.output,
                               // A sanitized romup wants its runtime loaded first.
                               "ASAN_OPTIONS=verify_asan_link_order=0"};
        const run_result run = run_romup(options);
        EXPECT_EQ(read_file(log), driver.log);
        EXPECT_EQ(with_paths(run.out, {{run.port_path, "{port}"}}),
                  with_paths(plain.out, {{plain.port_path, "{port}"}}));
        EXPECT_EQ(run.line.received, plain.line.received);
        EXPECT_EQ(run.status, plain.status);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Port, SerialDriver,
    ::testing::Values(
        driver_case{"Success",
                    run_end::success,
                    {{"clear", "", requested_and_restored},
                     {"set", "", "get low_latency\nclose\n"},
                     {"enotty", "", "get refused\nclose\n"},
                     {"einval", "", "get refused\nclose\n"},
                     {"eperm", "", "get\nset low_latency refused\nclose\n"}}},
        driver_case{"Decline", run_end::decline, {{"clear", "", requested_and_restored}}},
        // Behind flow control ("stuck") nothing leaves, and the close would wait 30 s.
        driver_case{"SilentModem",
                    run_end::silent_modem,
                    {{"clear", "", requested_and_restored},
                     {"clear", "stuck",
                      "get\nset low_latency\nget low_latency\nset\nflush output\nclose\n"}}},
        driver_case{
            "RefusedFirmwareLine",
            run_end::refused_firmware_line,
            {{"clear", "", requested_and_restored}, {"clear", "leaving", requested_and_restored}}},
        driver_case{"PortNotOpened", run_end::no_port, {{"clear", "", ""}}}),
    row_name{});

} // namespace
