// The low-latency request of Linux serial drivers. A USB adapter holds what
// it receives for its latency timer (16 ms on FTDI adapters) before passing it
// on, and every acknowledged line would pay that wait; the request lets the
// driver hand bytes on at once. Made on the open port, and taken back on close.
#pragma once

// Where port_fd's driver reports its serial information with the low-latency
// flag clear, sets the flag. Every refusal (no serial driver, an old one, a
// port the user may not change) is silent and leaves the port as it was.
void low_latency_request();

// Clears the flag again where low_latency_request set it; otherwise does
// nothing. Refusals are silent.
void low_latency_restore();
