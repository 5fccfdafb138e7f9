// The line speeds romup takes: the ten rates it can set a port to, and how it
// reads the -s value, for romup and for every program that must say what rate
// a romup run used.
#pragma once

#include <cstddef>
#include <cstdint>

// In ascending order; a requested rate selects the highest of them that does
// not exceed it, and the first below it.
constexpr std::int32_t listed_rates[] = {300,  600,   1200,  2400,  4800,
                                         9600, 19200, 38400, 57600, 115200};

// The rate without -s.
constexpr std::int32_t default_line_speed = 19200;

// The index in listed_rates of the rate that rate selects.
std::size_t rate_index(std::int32_t rate);

// The rate that rate selects: 19200 for 20000, 300 below 300.
std::int32_t listed_rate(std::int32_t rate);

// The -s value: as atoi reads it (leading blanks, a sign, the digits up to the
// first other character, 0 without digits), but saturated at the ends of the
// 32-bit range instead of overflowing.
std::int32_t read_speed(const char* text);
