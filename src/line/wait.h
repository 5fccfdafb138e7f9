// How the line waits: the one place that knows whether a wait polls or
// sleeps. Every limit is a deadline, a reading of wait_clock_us plus the
// limit, tested against fresh readings by the caller, who reads the port (or
// looks at it) before each test. By default the clock is processor time and
// every wait below but wait_until returns at once: the caller's loop is a
// busy poll that keeps a processor running. With sleeping_waits (-w) the
// clock is the monotonic one and every wait sleeps in the kernel until the
// port is ready or the deadline has come, whichever is first; nothing spins.
// Used only while the port is open, but for wait_clock_us and wait_until.
#pragma once

#include <cstdint>

// The reading every limit of the line is measured on: clock_us, or
// monotonic_us with sleeping_waits.
std::int64_t wait_clock_us();

// After a read of port_fd that found nothing: returns when bytes may be
// there to read, or at deadline. Returns at once by default.
void wait_readable(std::int64_t deadline);

// After a write to port_fd that made no progress: returns when the port may
// take bytes again, or at deadline. Returns at once by default.
void wait_writable(std::int64_t deadline);

// Between two looks at something no descriptor reports (what the port has
// still to send): returns at deadline. Returns at once by default.
void wait_idle(std::int64_t deadline);

// Returns once wait_clock_us has reached deadline: by polling the clock by
// default, asleep with sleeping_waits.
void wait_until(std::int64_t deadline);
