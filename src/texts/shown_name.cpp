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
