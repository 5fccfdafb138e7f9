#include "transcript.h"

#include <cstdio>

std::string sim_event_text(const sim_event& event) {
    char head[48];
    std::snprintf(
        head, sizeof head, "%6lld.%06lld %s ", static_cast<long long>(event.at_us / 1'000'000),
        static_cast<long long>(event.at_us % 1'000'000), event.to_modem ? "romup" : "modem");
    std::string text = head;
    for (char c : event.bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            text += "<CR>";
        } else if (c == '\n') {
            text += "<LF>";
        } else if (c == '\0') {
            text += "<NUL>";
        } else if (byte < 0x20 || byte >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02x>", byte);
            text += hex;
        } else {
            text += c;
        }
    }
    text += '\n';
    return text;
}

std::string sim_transcript_text(const sim_record& record) {
    std::string text;
    for (const sim_event& event : record.transcript) {
        text += sim_event_text(event);
    }
    return text;
}
