// The per-line cost of a streaming phase: romup's own upload code
// (upload_firmware, with the real processor-time clock) streaming an image
// through a pseudo-terminal to a peer process on the master side, beside a
// minimal loop. The port is test_port's. It runs in this process, which must
// have no other thread meanwhile: romup's clock is the processor time of the
// whole process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// romup's upload, the same with waits that sleep (-w) and a minimal
// stop-and-wait loop, in turn for each round, against one peer that answers
// every CR at once with ".".
struct line_cost_result {
    std::vector<double> romup_us;    // wall time per line, one per round
    std::vector<double> sleeping_us; // the same for romup's upload with -w
    std::vector<double> minimal_us;  // the same for the minimal loop
};
bool measure_line_cost(const std::string& image, int lines, int rounds, line_cost_result& result,
                       std::string& problem);

// An image of lines lines of 44 characters and LF, like Intel HEX records
// of 16 data bytes.
std::string make_line_image(int lines);
