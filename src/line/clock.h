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
