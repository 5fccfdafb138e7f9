// The framing of both uploads, over a socket pair with every answer queued
// beforehand, so that nothing depends on timing: each row's bytes, which the
// framing model of framing.h (that the fuzz target trusts) agrees with; and
// an image cut at every length, framed exactly as the model says.
#include "test_port.h"

#include "framing.h"
#include "rows.h"

#include "transfer/upload.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

using test_rows::operator<<;

// What the upload of image sends in a phase, each line's answer queued first.
std::string sent_for(const test_port& port, const temp_dir& dir, const std::string& image,
                     bool loader) {
    port.peer_sends(std::string(static_cast<std::size_t>(frame(image, loader).lines), '.'));
    std::FILE* file = std::fopen(dir.file("image", image).c_str(), "r");
    (loader ? upload_loader : upload_firmware)(file, digest_of(image));
    return port.peer_receives();
}

struct framing_case {
    const char* name;
    std::string file;          // the image
    std::string sent;          // what the loader phase sends, and the firmware phase
    std::string firmware = ""; // what the firmware phase sends, where it differs
};

class Framing : public ::testing::TestWithParam<framing_case> {};

// The loader phase sends the text before an LF or a NUL, and a CR unless the
// text holds one; the firmware phase the text before an LF, a CR or a NUL,
// and always a CR.
TEST_P(Framing, SendsWhatTheRulesSay) {
    const framing_case& row = GetParam();
    temp_dir dir;
    test_port port(line_kind::socket_pair, true);
    for (const bool loader : {true, false}) {
        SCOPED_TRACE(loader ? "loader phase" : "firmware phase");
        const std::string& sent = loader || row.firmware.empty() ? row.sent : row.firmware;
        EXPECT_EQ(frame(row.file, loader).bytes, sent) << "the framing model";
        EXPECT_EQ(sent_for(port, dir, row.file, loader), sent);
    }
}

const std::string a1021 = std::string(1021, 'a');
const std::string a1022 = std::string(1022, 'a');
const std::string b1023 = std::string(1023, 'b');

INSTANTIATE_TEST_SUITE_P(
    BothPhases, Framing,
    ::testing::Values(
        framing_case{"LineFeedEnds", "abc\nde\n", "abc\rde\r"},
        framing_case{"CarriageReturnLineFeedEnds", "abc\r\nde\r\n", "abc\rde\r"},
        framing_case{"OnlyLineFeed", "\nab\n", "\rab\r"},
        framing_case{"OnlyCarriageReturnLineFeed", "\r\nab\n", "\rab\r"},
        framing_case{"CarriageReturnInside", "ab\rcd\n", "ab\rcd", "ab\r"},
        framing_case{"LastLineWithoutLineFeed", "abc\nlast", "abc\rlast\r"},
        framing_case{"Line1022", a1022 + "\n", a1022 + "\r"},
        framing_case{"Line1023", std::string(1023, 'a') + "\n", std::string(1023, 'a') + "\r\r"},
        framing_case{"Line1021WithCarriageReturn", a1021 + "\r\n", a1021 + "\r"},
        framing_case{"Line1022WithCarriageReturn", a1022 + "\r\n", a1022 + "\r\r"},
        framing_case{"Line2500", std::string(2500, 'b') + "\n",
                     b1023 + "\r" + b1023 + "\r" + std::string(454, 'b') + "\r"},
        framing_case{"NulCutsTheLine", std::string("ab\0c\rd\nef\n", 10), "ab\ref\r"},
        framing_case{"CarriageReturnAfterNulUnseen", std::string("ab\0c\rd\n", 7), "ab\r"},
        framing_case{"BinaryBytes", "\x01\xff\x7f\x11\x13\n", "\x01\xff\x7f\x11\x13\r"}),
    row_name{});

TEST(Truncation, EveryLengthFramesExactly) {
    const std::string content = ":10000000AB\r\nplain\n\nmid\rdle\n" + std::string(1500, 'L') +
                                "\n" + std::string(1022, 'M') + "\r\n" +
                                std::string("nul\0after\rx\n", 12) +
                                "\r\n\r\nlast line without end";
    temp_dir dir;
    test_port port(line_kind::socket_pair, true);
    for (const bool loader : {true, false}) {
        for (std::size_t length = content.size(); length >= 1; --length) {
            const std::string image = content.substr(0, length);
            ASSERT_EQ(sent_for(port, dir, image, loader), frame(image, loader).bytes)
                << (loader ? "loader" : "firmware") << " " << length;
        }
    }
}

} // namespace
