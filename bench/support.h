// What the benchmarks share: a scratch folder, raw pseudo-terminals, the
// placement of processes on processors, and a monotonic clock for the wall
// time that the figures are made of (romup's own clock is processor time).
#pragma once

#include <cstdint>
#include <string>

// A folder of its own for one run of the benchmarks, removed with everything
// in it at the end.
struct scratch_dir {
    std::string path;
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
};

// Writes content to path; false when it cannot be written whole.
bool write_file(const std::string& path, const std::string& content);

// Monotonic wall time in nanoseconds.
std::int64_t wall_ns();

// The processors this process may run on, as a mask of the first 64.
std::uint64_t allowed_cpus();
// Restricts the calling process to the processors in mask; false when refused.
bool run_on_cpus(std::uint64_t mask);
// The lowest processor in mask, or -1 for an empty mask.
int lowest_cpu(std::uint64_t mask);
