// The serial port: opened once per run in the one mode romup talks to the
// modem in (raw 8-bit bytes, 8N1, RTS/CTS, carrier ignored, reads that never
// block), and closed once; only a terminal that no other program has locked
// is taken. While it is open, the signals that would cut a reprogramming
// short are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <termios.h>

// The open port, non-blocking for its whole life; -1 until a successful open.
// Written by port_open only.
extern int port_fd;

// The port speed for a requested rate in bit/s: that of the highest listed
// rate (300 to 115200) that does not exceed it; B300 below 300.
speed_t speed_for_rate(std::int32_t rate);

// The time, in the clocks' measure, that count bytes take to leave the port
// at the line speed (listed_rate of line_speed): 10 bits a byte (8N1). Real
// time, whatever the clock: a slow line is no faster in a test.
std::int64_t wire_time_us(std::size_t count);

// port_open's result when another process holds the port's lock.
constexpr int port_in_use = -1;

// Opens port_name, takes its advisory lock (flock, exclusive) and configures
// it at speed_for_rate(line_speed). Returns 1 when the device opened, 0 when
// it did not, is no terminal or is romup's own terminal (its controlling
// terminal, however named, or that of a standard descriptor), port_in_use
// when another process holds the lock or, without it, the device
// (port_held_elsewhere); on 0 and port_in_use nothing has been written to the
// device, its settings are untouched, and nothing else has changed but
// port_fd, which holds -1. A lock that fails otherwise is done without. Once
// open, a terminal that refuses a setting still counts as open. Asks the
// driver for low latency (low_latency_request), silently going without. On
// success also holds off the signals that would end the run
// (hold_off_signals), and makes standard output unbuffered after writing out
// what it holds.
int port_open();

// Gives back the low-latency flag if romup set it, lets output still leaving
// the port go and discards output stuck in it behind flow control, releases the
// lock, closes port_fd and returns the held signals to their default action
// (release_signals). The port keeps its other settings. Always
// returns 1.
int port_close();
