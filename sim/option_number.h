// Whole numbers given to the tools' options (romup-sim, romup-mkimage,
// romup-bench): all of the text, in decimal, within a range.
#pragma once

// Stores the number in value and returns true when text is a whole decimal
// number from low to high; leaves value alone otherwise.
bool parse_option_number(const char* text, long low, long high, long& value);
bool parse_option_number(const char* text, long low, long high, int& value);
