// The exchange with the modem: every byte that crosses the serial line passes
// through these primitives. They wait only through line/wait.h, on its clock
// (polling the non-blocking port, or asleep with -w), never print and never
// end the run; a time-out is an ordinary result. They are used only while the
// port is open.
#pragma once

#include <cstddef>
#include <cstdint>

// A reply is complete after this much of the wait clock without a new byte.
constexpr std::int64_t reply_limit_us = 2000000;

// Writes the text before its NUL to the port, one write even for an empty
// text. A short write is completed, a write cut off by a signal is tried again
// at once (line/fd_io.h), and a port that would block once it may take bytes,
// until every byte is taken, the port fails, or reply_limit_us passes without
// progress. Returns the number of bytes written, which no caller needs: a lost
// byte shows as a missing or wrong answer. Their time on the wire at the
// port's speed is added to the next read_reply's wait for its first byte.
std::size_t send_text(const char* text);

// Collects up to max_len (0 to 1024) bytes into buffer from its first byte,
// until max_len bytes have come or reply_limit_us has passed since the last
// delivery without a new one; the first byte is awaited for reply_limit_us
// and the time on the wire of what send_text wrote since the last call.
// Stores a NUL after the last byte and returns the count. Bytes beyond
// max_len stay queued in the port for the next read.
int read_reply(char* buffer, int max_len);

// read_reply(reply, 1): waits up to reply_limit_us (and the time on the wire
// of what was just sent) for one byte. Returns 1
// with the byte in reply, or 0 with reply empty.
int read_char();

// A command exchange: sends command, then collects the whole reply into
// reply. Returns the count of bytes received.
int send_command(const char* command);

// Whether reply, up to its first NUL, contains text (case counts).
bool reply_contains(const char* text);

// Returns once the wait clock has advanced by ms milliseconds.
void pause_ms(std::int64_t ms);
