#include "intel_hex.h"

#include <algorithm>
#include <fstream>

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The data byte count each type requires; -1 for any count (data records).
int required_count(int type) {
    switch (type) {
    case 0:
        return -1;
    case 1:
        return 0;
    case 2:
    case 4:
        return 2;
    case 3:
    case 5:
        return 4;
    default:
        return -2;
    }
}

} // namespace

bool hex_parse(const std::string& line, bool check_sum, hex_record& record) {
    if (line.empty() || line[0] != ':' || line.size() % 2 == 0) {
        return false;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
        const int high = hex_digit(line[i]);
        const int low = hex_digit(line[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    // Count, two offset bytes, type and checksum frame the data.
    if (bytes.size() < 5 || bytes.size() != 5u + bytes[0]) {
        return false;
    }
    const int type = bytes[3];
    const int required = required_count(type);
    if (required == -2 || (required >= 0 && bytes[0] != required)) {
        return false;
    }
    if (check_sum) {
        unsigned sum = 0;
        for (std::uint8_t b : bytes) {
            sum += b;
        }
        if (sum % 256 != 0) {
            return false;
        }
    }
    record.type = type;
    record.offset = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    record.data.assign(bytes.begin() + 4, bytes.end() - 1);
    return true;
}

bool hex_apply(const hex_record& record, std::uint32_t& base, std::vector<std::uint8_t>& memory) {
    if (record.type == 2 || record.type == 4) {
        const std::uint32_t value =
            static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]);
        base = record.type == 2 ? value << 4 : value << 16;
        return true;
    }
    if (record.type != 0 || record.data.empty()) {
        return true;
    }
    const std::uint64_t start = std::uint64_t{base} + record.offset;
    const std::uint64_t end = start + record.data.size();
    if (end > hex_flash_capacity) {
        return false;
    }
    if (memory.size() < end) {
        memory.resize(static_cast<std::size_t>(end), 0xFF);
    }
    std::copy(record.data.begin(), record.data.end(),
              memory.begin() + static_cast<std::ptrdiff_t>(start));
    return true;
}

std::string hex_format(int type, std::uint16_t offset, const std::uint8_t* data,
                       std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::vector<std::uint8_t> bytes = {
        static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(offset >> 8),
        static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>(type)};
    bytes.insert(bytes.end(), data, data + count);
    unsigned sum = 0;
    for (std::uint8_t b : bytes) {
        sum += b;
    }
    bytes.push_back(static_cast<std::uint8_t>((256 - sum % 256) % 256));
    std::string text = ":";
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

bool sim_hex_to_memory(const std::string& path, std::vector<std::uint8_t>& memory) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    memory.clear();
    std::uint32_t base = 0;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // Blank lines carry nothing; a file may end without its end record.
        if (line.empty()) {
            continue;
        }
        hex_record record;
        if (!hex_parse(line, true, record) || !hex_apply(record, base, memory)) {
            return false;
        }
        if (record.type == 1) {
            break;
        }
    }
    return true;
}
