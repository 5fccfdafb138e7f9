#include "texts/shown_name.h"

#include <cstdio>

std::string shown_name(const char* name) {
    std::string shown;
    for (const char* at = name; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        if (byte >= 0x20 && byte != 0x7F) {
            shown += *at;
            continue;
        }
        switch (byte) {
        case '\a':
            shown += "\\a";
            break;
        case '\b':
            shown += "\\b";
            break;
        case '\t':
            shown += "\\t";
            break;
        case '\n':
            shown += "\\n";
            break;
        case '\v':
            shown += "\\v";
            break;
        case '\f':
            shown += "\\f";
            break;
        case '\r':
            shown += "\\r";
            break;
        default: {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned>(byte));
            shown += octal;
        }
        }
    }
    return shown;
}

std::size_t utf8_length(const char* at) {
    const auto byte = [at](std::size_t index) { return static_cast<unsigned char>(at[index]); };
    const auto follows = [&](std::size_t index, unsigned char low, unsigned char high) {
        return byte(index) >= low && byte(index) <= high;
    };
    const unsigned char first = byte(0);
    if (first < 0x80) {
        return 1;
    }
    // The second byte's range depends on the first: it keeps out the
    // overlong forms, the surrogates and what lies beyond U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (first >= 0xC2 && first <= 0xDF) {
        length = 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
        length = 3;
        low = first == 0xE0 ? 0xA0 : 0x80;
        high = first == 0xED ? 0x9F : 0xBF;
    } else if (first >= 0xF0 && first <= 0xF4) {
        length = 4;
        low = first == 0xF0 ? 0x90 : 0x80;
        high = first == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (!follows(1, low, high)) {
        return 0;
    }
    for (std::size_t index = 2; index < length; ++index) {
        if (!follows(index, 0x80, 0xBF)) {
            return 0;
        }
    }
    return length;
}
