#include "firmware_phase.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>

firmware_phase find_firmware_phase(const sim_record& record) {
    firmware_phase phase;
    const std::string erase = "REPROGRAM\r";
    const std::size_t erase_at = record.received.find(erase);
    if (erase_at == std::string::npos) {
        return phase;
    }
    const std::size_t start = erase_at + erase.size();
    std::size_t end = record.received.find('X', start);
    while (end != std::string::npos && end != start && record.received[end - 1] != '\r') {
        end = record.received.find('X', end + 1);
    }
    if (end == std::string::npos) {
        return phase;
    }

    // Events hold runs of bytes as the modem took or sent them; the offset
    // places each run of romup's bytes within everything romup sent.
    std::size_t offset = 0;
    bool inside = false;
    bool answered = false;
    for (const sim_event& event : record.transcript) {
        if (event.to_modem) {
            const std::size_t event_end = offset + event.bytes.size();
            if (!inside && event_end > start) {
                inside = true;
                phase.first_us = event.at_us;
            }
            offset = event_end;
            if (event_end > end) {
                break;
            }
        } else if (inside) {
            phase.answer_bytes += static_cast<std::int64_t>(event.bytes.size());
            phase.last_us = event.at_us;
            answered = true;
        }
    }
    phase.line_bytes = static_cast<std::int64_t>(end - start);
    phase.lines =
        static_cast<int>(std::count(record.received.begin() + static_cast<long>(start),
                                    record.received.begin() + static_cast<long>(end), '\r'));
    phase.found = answered && phase.lines > 0;
    return phase;
}

double firmware_phase_limit_us(const firmware_phase& phase, std::int64_t bits_per_second) {
    const std::int64_t bytes = phase.line_bytes + phase.answer_bytes - 1;
    return static_cast<double>(bytes) * 10.0 * 1e6 / static_cast<double>(bits_per_second);
}

namespace {

// The bytes of one transcript line after its time and direction.
std::string unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const std::size_t close = text.find('>', at);
        const std::string name = text[at] == '<' && close != std::string::npos
                                     ? text.substr(at + 1, close - at - 1)
                                     : "";
        unsigned value = 0;
        if (name == "CR" || name == "LF" || name == "NUL") {
            bytes += name == "CR" ? '\r' : name == "LF" ? '\n' : '\0';
            at = close;
        } else if (name.size() == 2 && std::sscanf(name.c_str(), "%2x", &value) == 1) {
            bytes += static_cast<char>(value);
            at = close;
        } else {
            bytes += text[at];
        }
    }
    return bytes;
}

} // namespace

bool read_transcript(const std::string& text, sim_record& record) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        long long seconds = 0, micros = 0;
        char who[8] = {};
        int used = 0;
        if (std::sscanf(line.c_str(), "%lld.%lld %5s %n", &seconds, &micros, who, &used) != 3) {
            return false;
        }
        sim_event event;
        event.at_us = seconds * 1'000'000 + micros;
        event.to_modem = std::string(who) == "romup";
        event.bytes = unescape(line.substr(static_cast<std::size_t>(used)));
        (event.to_modem ? record.received : record.sent) += event.bytes;
        record.transcript.push_back(event);
    }
    return true;
}
