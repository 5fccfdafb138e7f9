#include "texts/shell_word.h"

#include "texts/shown_name.h"

#include <cstdio>
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

// Whether the byte at at is one to escape in $'...': a control byte, or,
// with utf8_only, a byte that is no part of well-formed UTF-8.
bool escaped_byte(const char* at, bool utf8_only) {
    return control_byte(static_cast<unsigned char>(*at)) || (utf8_only && utf8_length(at) == 0);
}

// bash's $'...' reads back every escape that shown_name writes (\n, \033,
// ...) and \xHH; only a backslash and a quote need escaping besides.
std::string ansi_c_quoted(const char* text, bool utf8_only) {
    std::string escaped;
    for (const char* at = text; *at != '\0';) {
        if (utf8_only && utf8_length(at) == 0) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x",
                          static_cast<unsigned>(static_cast<unsigned char>(*at)));
            escaped += hex;
            ++at;
            continue;
        }
        const std::size_t length = utf8_only ? utf8_length(at) : 1;
        if (*at == '\\' || *at == '\'') {
            escaped += '\\';
        }
        escaped.append(at, length);
        at += length;
    }
    return "$'" + shown_name(escaped.c_str()) + "'";
}

std::string word_of(const char* text, bool utf8_only) {
    bool plain = *text != '\0';
    bool escape = false;
    for (const char* at = text; *at != '\0'; ++at) {
        const bool escaped = escaped_byte(at, utf8_only);
        plain = plain && !escaped && plain_byte(static_cast<unsigned char>(*at));
        escape = escape || escaped;
        // The continuation bytes of a well-formed sequence are no bytes of
        // their own to judge.
        if (utf8_only && !escaped) {
            at += utf8_length(at) - 1;
        }
    }
    if (plain) {
        return text;
    }
    if (escape) {
        return ansi_c_quoted(text, utf8_only);
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

} // namespace

std::string shell_word(const char* text) {
    return word_of(text, false);
}

std::string shell_word_utf8(const char* text) {
    return word_of(text, true);
}
