// The clocks of the run, on which every time limit and pause is measured:
// processor time for the waits that poll, the monotonic clock for the waits
// that sleep (-w). Linked in per program: romup has the real clocks; the test
// build has ones that run faster, so that its waits are shorter. Both
// readings and spans are in the clock's measure, microseconds in romup.
#pragma once

#include <cstdint>

// Processor time used by the process, in microseconds; should the system
// refuse to tell it, real time from then on. Only differences between
// readings mean anything. 64 bits wide, so that no deadline wraps
// within a run, however long.
std::int64_t clock_us();

// Real time on the monotonic clock, which no load stretches and no change
// of the date moves, in the same measure as clock_us. Only differences
// between readings mean anything.
std::int64_t monotonic_us();

// How much the clock that the line's waits count (line/wait.h) advances while
// real_us microseconds of real time pass: real_us itself here; more in the
// test build, whose clocks run faster. For spans that last their real length
// whatever the clock, such as bytes on the wire.
std::int64_t clock_span_us(std::int64_t real_us);

// The inverse of clock_span_us: the microseconds of real time in which that
// clock advances by span_us. What a wait that sleeps asks the kernel for.
std::int64_t real_span_us(std::int64_t span_us);
