#include "texts/line_speeds.h"

#include <cctype>
#include <iterator>

std::size_t rate_index(std::int32_t rate) {
    std::size_t chosen = 0;
    for (std::size_t index = 0; index < std::size(listed_rates); ++index) {
        if (listed_rates[index] <= rate) {
            chosen = index;
        }
    }
    return chosen;
}

std::int32_t listed_rate(std::int32_t rate) {
    return listed_rates[rate_index(rate)];
}

std::int32_t read_speed(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    constexpr std::int64_t beyond_range = std::int64_t{INT32_MAX} + 2;
    std::int64_t value = 0;
    while (std::isdigit(static_cast<unsigned char>(*text))) {
        value = value * 10 + (*text - '0');
        if (value > beyond_range) {
            value = beyond_range;
        }
        ++text;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}
