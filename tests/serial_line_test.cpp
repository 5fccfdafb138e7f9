// romup on a line that runs at its real rate: the simulated modem takes and
// sends each byte at 10 bits a byte, in wall-clock time, while romup's 2 s
// limit is the test build's 100 ms. A slow line's records must still be
// acknowledged in time.
#include "harness.h"
#include "intel_hex.h"

#include <cstdint>
#include <gtest/gtest.h>

namespace {

// A record of 32 data bytes: 75 characters, 76 bytes on the line with its CR,
// 2.5 s at 300 bit/s.
std::string long_record(std::uint16_t offset, std::uint8_t first) {
    std::vector<std::uint8_t> data(32);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(first + i);
    }
    return hex_format(0, offset, data.data(), data.size());
}

TEST(PacedLine, LongRecordsAtThreeHundredBitsAreAcknowledged) {
    temp_dir dir;
    const std::string loader_record = long_record(0, 0x80);
    const std::string first = long_record(0, 0);
    const std::string second = long_record(32, 32);
    ASSERT_EQ(first.size(), 75u);
    const std::string loader = loader_record + "\n" + eof_record;
    const std::string firmware = first + "\n" + second + "\n";
    const std::string firmware_path = dir.file("fw.hex", firmware);
    run_options options;
    options.args = {"-p{port}", "-f" + firmware_path, "-l" + dir.file("l.hex", loader), "-s300"};
    options.answer = "y\n";
    options.modem.pace_bits_per_second = 300;
    options.modem.erase_ms = 0;
    const run_result run = run_romup(options);
    EXPECT_EQ(run.out, banner + progress_line(loader_heading, percents_of(loader)) +
                           question(ready, firmware_path) + erasing +
                           progress_line(firmware_heading, percents_of(firmware)) + loaded);
    EXPECT_EQ(run.line.received, probe_commands + loader_record + "\r:00000001FF\rREPROGRAM\r" +
                                     first + "\r" + second + "\r" + restart_commands);
    std::string flash;
    for (int i = 0; i < 64; ++i) {
        flash += static_cast<char>(i);
    }
    EXPECT_EQ(std::string(run.line.flash.begin(), run.line.flash.end()), flash);
    EXPECT_EQ(run.status, 0);
}

} // namespace
