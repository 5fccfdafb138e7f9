// An image cut at every length streams without fault in both phases, and the
// bytes on the line are always exactly the framing of that content: the
// uploads called directly over a socket pair, with every answer queued on
// the line beforehand, so that nothing depends on timing.
#include "test_port.h"

#include "framing.h"

#include "transfer/upload.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace {

std::string sample_content() {
    std::string content = ":10000000AB\r\nplain\n\nmid\rdle\n";
    content += std::string(1500, 'L') + "\n";
    content += std::string(1022, 'M') + "\r\n";
    content += std::string("nul\0after\rx\n", 12);
    content += "\r\n\r\nlast line without end";
    return content;
}

TEST(Truncation, EveryLengthFramesExactly) {
    const std::string content = sample_content();
    temp_dir dir;
    test_port port(line_kind::socket_pair, true);
    for (const bool loader : {true, false}) {
        for (std::size_t length = content.size(); length >= 1; --length) {
            const std::string image = content.substr(0, length);
            const framing expected = frame(image, loader);
            port.peer_sends(std::string(static_cast<std::size_t>(expected.lines), '.'));
            std::FILE* file = std::fopen(dir.file("image", image).c_str(), "r");
            (loader ? upload_loader : upload_firmware)(file, digest_of(image));
            ASSERT_EQ(port.peer_receives(), expected.bytes)
                << (loader ? "loader" : "firmware") << " " << length;
        }
    }
}

} // namespace
