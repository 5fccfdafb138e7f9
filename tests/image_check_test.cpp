// The look at the firmware before the erase: the record rules in this process,
// and end to end that romup warns at the question about an image that is no
// complete, well-formed Intel HEX file, says nothing about one that is, and
// that the operator's answer still decides. The records here are built by
// the test itself, apart from romup's reading and from the simulated modem's.
#include "harness.h"

#include "texts/image_check.h"

#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>
#include <numeric>

namespace {

using test_rows::operator<<;

// One record with its checksum; count_offset makes its byte count lie.
std::string record(unsigned type, unsigned address, const std::string& data,
                   unsigned count_offset = 0) {
    std::string bytes = {static_cast<char>(data.size() + count_offset),
                         static_cast<char>(address >> 8), static_cast<char>(address),
                         static_cast<char>(type)};
    bytes += data;
    // The sum of every byte, the checksum's too, is 0 modulo 256.
    bytes += static_cast<char>(-std::accumulate(bytes.begin(), bytes.end(), 0));
    std::string text = ":";
    for (const unsigned char c : bytes) {
        text += "0123456789ABCDEF"[c >> 4];
        text += "0123456789ABCDEF"[c & 0xF];
    }
    return text + "\n";
}

const std::string line1 = record(0, 0x0000, "\x01\x02\x03\x04");
const std::string line2 = record(0, 0x0004, "\x05\x06\x07\x08");
const std::string image = line1 + line2 + eof_record;

std::string lower_case(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Every byte value, twice over.
std::string every_byte_twice() {
    std::string bytes(512, '\0');
    std::iota(bytes.begin(), bytes.end(), '\0');
    return bytes;
}

// The warning that a line of the image is no record, and why.
std::string not_a_record(int line, const std::string& why) {
    return "Warning: [{fw}] line " + std::to_string(line) + " is not an Intel HEX record (" + why +
           ")\r\n";
}
const std::string no_end =
    "Warning: [{fw}] has no end-of-file record: the file may be cut short\r\n";
const std::string no_data = "Warning: [{fw}] holds no data record: there is no firmware in it\r\n";
const std::string binary_warnings = not_a_record(1, "no colon at its start") +
                                    "Warning: [{fw}] has 2 more lines with problems\r\n" + no_end +
                                    no_data;

// "{fw}" in an expected warning stands for the firmware's name.
struct check_case {
    const char* name;
    std::string firmware;
    // Every warning line, in order, but the last: any warning is followed by
    // the one about the risk of going on. "" for none.
    std::string warnings;
    bool reload = false;
    std::string answer = "n\n";
    std::string answer_to_x = "\r\nREADY\r\n"; // the running loader's, shown at the question
};

// The warnings at the question about a firmware named name.
std::string expected_warnings(const check_case& row, const std::string& name) {
    if (row.warnings.empty()) {
        return "";
    }
    return with_paths(row.warnings, {{"{fw}", name}}) +
           "Warning: Y erases the Flash; a modem that refuses this image, or takes only part of "
           "it, is left without firmware\r\n";
}

// The warnings of the check of content, content fed in pieces of piece bytes:
// a record split between two reads is read as one.
std::string warnings_of(const std::string& content, std::size_t piece) {
    record_check_start();
    for (std::size_t at = 0; at < content.size(); at += piece) {
        const std::string part = content.substr(at, piece);
        record_check_take(part.data(), part.size());
    }
    record_check_end();
    return image_warnings("fw.hex");
}

class RecordRule : public ::testing::TestWithParam<check_case> {};

TEST_P(RecordRule, WarnsOfTheFirstFaultAndWhatIsMissing) {
    const check_case& row = GetParam();
    const std::string expected = expected_warnings(row, "fw.hex");
    EXPECT_EQ(warnings_of(row.firmware, row.firmware.size() + 1), expected);
    EXPECT_EQ(warnings_of(row.firmware, 1), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, RecordRule,
    ::testing::Values(
        check_case{"WellFormed", image, ""}, check_case{"LowerCaseDigits", lower_case(image), ""},
        check_case{"CarriageReturnLineFeedEnds", with_paths(image, {{"\n", "\r\n"}}), ""},
        check_case{"BlankLines", "\n" + line1 + "\r\n\n" + line2 + eof_record + "\n", ""},
        check_case{"Binary", every_byte_twice(), binary_warnings},
        check_case{"CutInARecord", line1 + line2.substr(0, 11),
                   not_a_record(2, "byte count 4, but 0 data bytes") + no_end},
        check_case{"CutInADigitPair", line1 + line2.substr(0, 12),
                   not_a_record(2, "an odd number of hexadecimal digits") + no_end},
        check_case{"CutAfterARecord", line1 + line2, no_end},
        check_case{"BadChecksum", line1 + line2.substr(0, 17) + "DF\n" + eof_record,
                   not_a_record(2, "checksum DF, expected DE")},
        check_case{"WrongByteCount", record(0, 0, "\x01\x02\x03\x04", 1) + line2 + eof_record,
                   not_a_record(1, "byte count 5, but 4 data bytes")},
        check_case{"UnknownRecordType", line1 + record(6, 0, "") + line2 + eof_record,
                   not_a_record(2, "unknown record type 06")},
        check_case{"NotAHexDigit", line1 + ":0400040005060708G\n" + eof_record,
                   not_a_record(2, "a byte that is no hexadecimal digit at column 18")},
        check_case{"CarriageReturnInsideALine", line1 + ":04000400\r05060708DE\n" + eof_record,
                   not_a_record(2, "a byte that is no hexadecimal digit at column 10")},
        check_case{"DataAfterTheEnd", image + line2 + "junk\n",
                   "Warning: [{fw}] line 4 comes after the end-of-file record\r\n"
                   "Warning: [{fw}] has 1 more line with a problem\r\n"},
        check_case{"NoDataRecord", eof_record, no_data},
        // Each record type but data holds a fixed count of bytes.
        check_case{"AddressRecordsOfTheirSize",
                   record(4, 0, std::string(2, '\0')) + record(2, 0, std::string(2, '\0')) + line1 +
                       record(5, 0, std::string(4, '\0')) + record(3, 0, std::string(4, '\0')) +
                       eof_record,
                   ""},
        check_case{"EndRecordWithData", image + record(1, 0, "\x01"),
                   "Warning: [{fw}] line 4 comes after the end-of-file record\r\n"},
        check_case{"EndRecordWithDataAlone", line1 + record(1, 0, "\x01"),
                   not_a_record(2, "byte count 1, but a record of type 01 holds 0") + no_end},
        check_case{"LinearAddressOfOneByte", record(4, 0, "\x01") + image,
                   not_a_record(1, "byte count 1, but a record of type 04 holds 2")},
        check_case{"SegmentAddressOfFourBytes", record(2, 0, std::string(4, '\0')) + image,
                   not_a_record(1, "byte count 4, but a record of type 02 holds 2")},
        check_case{"StartAddressOfTwoBytes",
                   image.substr(0, image.size() - eof_record.size()) +
                       record(5, 0, std::string(2, '\0')) + eof_record,
                   not_a_record(3, "byte count 2, but a record of type 05 holds 4")},
        check_case{"SegmentStartOfNoByte", record(3, 0, "") + image,
                   not_a_record(1, "byte count 0, but a record of type 03 holds 4")}),
    row_name{});

// End to end: where the warnings appear, in both modes, and that the answer
// decides; in re-load mode, that "X" is all that goes before the question.
class ImageCheck : public ::testing::TestWithParam<check_case> {};

TEST_P(ImageCheck, WarnsAtTheQuestionAndTheAnswerDecides) {
    const check_case& row = GetParam();
    small_run setup(eof_record, row.firmware, row.answer);
    // A firmware that goes on is taken record by record.
    setup.options.modem.check_records = true;
    std::string until_answer =
        banner + progress_line(loader_heading, {100}) + question(ready, setup.firmware);
    if (row.reload) {
        // The loader is never read: its file may be missing.
        setup.options.args.back() = "-l" + setup.dir.path + "/missing.hex";
        setup.options.args.push_back("-c");
        setup.options.modem.start = sim_start::loader_running;
        setup.options.modem.answers = {{"X", 1, row.answer_to_x}};
        until_answer = banner + "Trying to re-load firmware code\r\n" +
                       question(row.answer_to_x, setup.firmware);
    }
    // The warnings come between the loader's reply and the question.
    until_answer.insert(until_answer.rfind("Ready to transfer"),
                        expected_warnings(row, setup.firmware));

    const run_result run = run_romup(setup.options);
    if (row.answer == "n\n") {
        EXPECT_EQ(run.out, until_answer + aborted);
        EXPECT_EQ(run.line.received,
                  (row.reload ? "X" : probe_commands + ":00000001FF\r") + "STARTUP\r");
        EXPECT_FALSE(run.line.erased);
        EXPECT_EQ(run.status, 1);
    } else {
        EXPECT_EQ(run.out, until_answer + erasing +
                               progress_line(firmware_heading, percents_of(row.firmware)) + loaded);
        EXPECT_TRUE(run.line.erased);
        EXPECT_EQ(run.status, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Firmware, ImageCheck,
    ::testing::Values(check_case{"WellFormed", image, "", false, "y\n"},
                      check_case{"WellFormedInReloadMode", image, "", true, "y\n"},
                      check_case{"Binary", every_byte_twice(), binary_warnings},
                      check_case{"BinaryInReloadMode", every_byte_twice(), binary_warnings, true},
                      check_case{"SilentLoaderInReloadMode", image, "", true, "n\n", ""},
                      // Every line that is there is good: the operator may still go on.
                      check_case{"CutAfterARecord", line1 + line2, no_end, false, "y\n"}),
    row_name{});

} // namespace
