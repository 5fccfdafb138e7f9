// Names as romup shows them on the terminal. A file name may hold any byte
// but NUL and "/"; a carriage return or an escape sequence in one would move
// the cursor, blank a line or set the window title instead of being read.
#pragma once

#include <cstddef>
#include <string>

// name with each byte below 0x20 and 0x7F written as ls -b writes it: \a \b
// \t \n \v \f \r, the others as a backslash and three octal digits (\033);
// every other byte, UTF-8 included, as it is.
std::string shown_name(const char* name);

// The length of the well-formed UTF-8 sequence that begins at at: 1 for a
// byte below 0x80 (NUL included), 2 to 4 for the others; 0 when the byte at
// at begins none (a stray continuation byte, an overlong or cut sequence, a
// surrogate, beyond U+10FFFF).
std::size_t utf8_length(const char* at);
