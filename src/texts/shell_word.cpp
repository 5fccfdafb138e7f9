#include "texts/shell_word.h"

#include "texts/shown_name.h"

#include <cstring>

namespace {

bool plain_byte(unsigned char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || std::strchr("_-./,:=+@%", byte) != nullptr ||
           byte >= 0x80;
}

bool control_byte(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

// bash's $'...' reads back every escape that shown_name writes (\n, \033,
// ...); only a backslash and a quote need escaping before it.
std::string ansi_c_quoted(const char* text) {
    std::string escaped;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '\\' || *at == '\'') {
            escaped += '\\';
        }
        escaped += *at;
    }
    return "$'" + shown_name(escaped.c_str()) + "'";
}

} // namespace

std::string shell_word(const char* text) {
    bool plain = *text != '\0';
    bool control = false;
    for (const char* at = text; *at != '\0'; ++at) {
        const auto byte = static_cast<unsigned char>(*at);
        plain = plain && plain_byte(byte);
        control = control || control_byte(byte);
    }
    if (plain) {
        return text;
    }
    if (control) {
        return ansi_c_quoted(text);
    }
    std::string word = "'";
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '\'') {
            word += "'\\''";
        } else {
            word += *at;
        }
    }
    return word + "'";
}
