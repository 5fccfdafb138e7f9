#include "firmware_phase.h"

#include <algorithm>
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
