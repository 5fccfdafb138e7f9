#include "exact_line.h"

#include <algorithm>

exact_line exact_line_at(std::int64_t bits_per_second) {
    exact_line line;
    // Rounded to whole nanoseconds: at 115200 bit/s that is 0.6 ppm.
    line.byte_ns = (10'000'000'000 + bits_per_second / 2) / bits_per_second;
    return line;
}

std::int64_t exact_line_take(exact_line& line, std::int64_t now_ns, std::size_t count) {
    if (count == 0) {
        return line.free_ns;
    }
    line.free_ns = std::max(line.free_ns, now_ns) + static_cast<std::int64_t>(count) * line.byte_ns;
    return line.free_ns;
}
