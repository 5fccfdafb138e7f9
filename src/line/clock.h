// The one clock of the run: processor time, on which every time limit and
// pause is measured. Linked in per program: romup has the real clock; the
// test build has one that runs faster, so that its waits are shorter.
#pragma once

#include <cstdint>

// Processor time used by the process, in microseconds; should the system
// refuse to tell it, real time from then on. Only differences between
// readings mean anything. 64 bits wide, so that no deadline wraps
// within a run, however long.
std::int64_t clock_us();

// How much clock_us advances while real_us microseconds of processor time
// pass: real_us itself here; more in the test build, whose clock runs faster.
// For spans that last their real length whatever the clock, such as bytes on
// the wire.
std::int64_t clock_span_us(std::int64_t real_us);
