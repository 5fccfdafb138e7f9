#include "option_number.h"

#include <cstdlib>

bool parse_option_number(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

bool parse_option_number(const char* text, long low, long high, int& value) {
    long parsed = 0;
    if (low < -2147483647L || high > 2147483647L || !parse_option_number(text, low, high, parsed)) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}
