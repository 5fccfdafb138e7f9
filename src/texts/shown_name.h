// Names as romup shows them on the terminal. A file name may hold any byte
// but NUL and "/"; a carriage return or an escape sequence in one would move
// the cursor, blank a line or set the window title instead of being read.
#pragma once

#include <string>

// name with each byte below 0x20 and 0x7F written as ls -b writes it: \a \b
// \t \n \v \f \r, the others as a backslash and three octal digits (\033);
// every other byte, UTF-8 included, as it is.
std::string shown_name(const char* name);
