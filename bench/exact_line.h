// A serial line with exact timing, seen from the modem's end: the bytes the
// host hands over arrive one after another at the line's rate, 10 bits a
// byte, starting when they are handed over or when the line has finished
// carrying the bytes before them, whichever is later. The benchmarks' own
// paced peer uses it to answer each line no sooner and no later than a real
// line would let it.
#pragma once

#include <cstddef>
#include <cstdint>

struct exact_line {
    std::int64_t byte_ns = 0; // one byte's 10 bits
    std::int64_t free_ns = 0; // when the last byte taken has fully arrived
};

// The line at bits_per_second, idle since time 0.
exact_line exact_line_at(std::int64_t bits_per_second);

// count bytes, seen by the modem's end at now_ns, go down the line. Returns
// when the last of them has fully arrived (free_ns unchanged for none).
std::int64_t exact_line_take(exact_line& line, std::int64_t now_ns, std::size_t count);
