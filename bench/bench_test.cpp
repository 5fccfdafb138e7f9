// The arithmetic behind the benchmarks' figures: reading romup-sim's
// transcript back, finding the firmware phase in it, and the line's limit. A mistake here would
// pass a slow romup or fail a fast one.
#include "firmware_phase.h"
#include "transcript.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

sim_record record_of(const std::vector<sim_event>& events) {
    sim_record record;
    for (const sim_event& event : events) {
        record.transcript.push_back(event);
        (event.to_modem ? record.received : record.sent) += event.bytes;
    }
    return record;
}

sim_event romup(std::int64_t at_us, const std::string& bytes) {
    return sim_event{at_us, true, bytes};
}

sim_event modem(std::int64_t at_us, const std::string& bytes) {
    return sim_event{at_us, false, bytes};
}

// What precedes the firmware phase in a normal run: the last loader line and
// its acknowledgement, the announcement, the erase and its end.
const std::vector<sim_event> before = {romup(10, ":00000001FF\r"), modem(20, ".READY\r\n"),
                                       romup(100, "REPROGRAM\r"), modem(1600, "0")};

std::vector<sim_event> run_of(std::vector<sim_event> phase) {
    std::vector<sim_event> events = before;
    events.insert(events.end(), phase.begin(), phase.end());
    return events;
}

struct phase_case {
    const char* name;
    std::vector<sim_event> events;
    bool found;
    int lines;
    std::int64_t line_bytes;
    std::int64_t answer_bytes;
    std::int64_t first_us;
    std::int64_t last_us;
};

class FirmwarePhase : public ::testing::TestWithParam<phase_case> {};

TEST_P(FirmwarePhase, FindsTheBytesAndTimesOfThePhase) {
    const phase_case& c = GetParam();
    const firmware_phase phase = find_firmware_phase(record_of(c.events));
    ASSERT_EQ(phase.found, c.found);
    if (!c.found) {
        return;
    }
    EXPECT_EQ(phase.lines, c.lines);
    EXPECT_EQ(phase.line_bytes, c.line_bytes);
    EXPECT_EQ(phase.answer_bytes, c.answer_bytes);
    EXPECT_EQ(phase.first_us, c.first_us);
    EXPECT_EQ(phase.last_us, c.last_us);
}

INSTANTIATE_TEST_SUITE_P(
    Transcripts, FirmwarePhase,
    ::testing::Values(
        phase_case{"TwoLinesThenRestart",
                   run_of({romup(1700, ":AB\r"), modem(1800, "."), romup(1900, ":CD\r"),
                           modem(2000, "."), romup(2100, "X"), modem(2200, "\r\nREADY\r\n")}),
                   true, 2, 8, 2, 1700, 2000},
        phase_case{
            "LineSplitAcrossEvents",
            run_of({romup(1700, ":A"), romup(1750, "B\r"), modem(1800, "."), romup(2100, "X")}),
            true, 1, 4, 1, 1700, 1800},
        phase_case{"XInsideALineIsData",
                   run_of({romup(1700, ":AXB\r"), modem(1800, "."), romup(2100, "X")}), true, 1, 5,
                   1, 1700, 1800},
        phase_case{"CrLfAcknowledgements",
                   run_of({romup(1700, ":AB\r"), modem(1800, "\r\n"), romup(1900, ":CD\r"),
                           modem(2000, "\r"), modem(2010, "\n"), romup(2100, "X")}),
                   true, 2, 8, 4, 1700, 2010},
        phase_case{"NoErase",
                   {romup(10, ":00000001FF\r"), modem(20, "."), romup(30, "X")},
                   false,
                   0,
                   0,
                   0,
                   0,
                   0},
        phase_case{"NoRestart", run_of({romup(1700, ":AB\r"), modem(1800, ".")}), false, 0, 0, 0, 0,
                   0},
        phase_case{"EmptyFirmware", run_of({romup(1700, "X"), modem(1800, "\r\nREADY\r\n")}), false,
                   0, 0, 0, 0, 0}),
    [](const ::testing::TestParamInfo<phase_case>& info) { return info.param.name; });

struct limit_case {
    const char* name;
    std::int64_t line_bytes;
    std::int64_t answer_bytes;
    std::int64_t bits_per_second;
    double expected_us;
};

class FirmwarePhaseLimit : public ::testing::TestWithParam<limit_case> {};

TEST_P(FirmwarePhaseLimit, CountsTenBitsForEveryByteButTheFirst) {
    const limit_case& c = GetParam();
    firmware_phase phase;
    phase.line_bytes = c.line_bytes;
    phase.answer_bytes = c.answer_bytes;
    EXPECT_NEAR(firmware_phase_limit_us(phase, c.bits_per_second), c.expected_us, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, FirmwarePhaseLimit,
    ::testing::Values(limit_case{"OneHexLine", 44, 1, 115200, 44 * 10 * 1e6 / 115200},
                      limit_case{"ManyLines", 44 * 1000, 1000, 115200, 44999 * 10 * 1e6 / 115200},
                      limit_case{"SlowLine", 9, 1, 9600, 9 * 10 * 1e6 / 9600}),
    [](const ::testing::TestParamInfo<limit_case>& info) { return info.param.name; });

TEST(Transcript, ReadsBackWhatTheSimulatorWrites) {
    const sim_record record = record_of(
        {romup(1'500'000, std::string("AT\r\n\0<x", 7)), modem(2'000'001, "\x1b\xff<ok>")});
    sim_record read;
    ASSERT_TRUE(read_transcript(sim_transcript_text(record), read));
    ASSERT_EQ(read.transcript.size(), 2u);
    EXPECT_EQ(read.transcript[0].at_us, 1'500'000);
    EXPECT_TRUE(read.transcript[0].to_modem);
    EXPECT_EQ(read.received, record.received);
    EXPECT_EQ(read.sent, record.sent);
    EXPECT_EQ(read.transcript[1].at_us, 2'000'001);
    EXPECT_FALSE(read_transcript("not a transcript\n", read));
}

} // namespace
