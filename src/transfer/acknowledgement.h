// The modem's one-byte answer to each image line, and the bytes that some
// answers bring after them. Each reads from the port into reply; a byte
// beyond those named here is left queued as the next line's answer.
#pragma once

// Loader phase: CR and "." accept the line; "0" accepts it and brings one
// more byte, "8" up to two more (read and not looked at). Returns false for
// any other byte, or none within the limit.
bool loader_line_accepted();

// Firmware phase: "." accepts the line; CR accepts it and brings one more
// byte (read and not looked at). Returns false for any other byte, or none
// within the limit.
bool firmware_line_accepted();
