#include "texts/image_check.h"

#include "texts/messages.h"
#include "texts/shown_name.h"

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

namespace {

// The line being read. A record's bytes are summed as they come, so that no
// line is ever held in memory, however long.
struct line_scan {
    std::int64_t number = 1;
    std::int64_t column = 0; // bytes of the line taken so far, its line end aside
    bool cr_pending = false; // a CR that is the line end if an LF or the end follows
    bool faulty = false;     // fault holds what is wrong with the line
    char fault[64] = "";
    std::int64_t digits = 0;
    unsigned high_digit = 0;
    std::int64_t bytes = 0;
    unsigned sum = 0;         // of every byte, the checksum included
    unsigned byte_count = 0;  // the record's first byte
    unsigned record_type = 0; // its fourth
    unsigned last_byte = 0;
    bool after_end = false; // an end-of-file record came before this line
};

// What the check has found so far. A line is a line of the file up to its LF;
// blank lines (nothing but their line end, LF or CR LF) are passed over.
// Lines that are no well-formed record, or that follow the end-of-file record:
std::int64_t problem_lines = 0;
// the first of them, counted from 1, and what is wrong with it, worded to
// follow "line N ".
std::int64_t first_problem_line = 0;
char first_problem[96] = "";
// Whether a well-formed end-of-file record (type 01) was found, and a data
// record (type 00).
bool end_record_seen = false;
bool data_record_seen = false;
// The line being read.
line_scan current;

// The value of each byte as a hexadecimal digit, either case; not_a_digit for
// the rest.
constexpr unsigned char not_a_digit = 0xFF;

constexpr std::array<unsigned char, 256> hex_digit_values() {
    std::array<unsigned char, 256> value{};
    for (unsigned char& v : value) {
        v = not_a_digit;
    }
    for (std::size_t digit = 0; digit < 10; ++digit) {
        value['0' + digit] = static_cast<unsigned char>(digit);
    }
    for (std::size_t digit = 0; digit < 6; ++digit) {
        value['a' + digit] = static_cast<unsigned char>(10 + digit);
        value['A' + digit] = static_cast<unsigned char>(10 + digit);
    }
    return value;
}

constexpr std::array<unsigned char, 256> hex_value = hex_digit_values();

void note_fault(line_scan& line, const char* format, ...) {
    if (line.faulty) {
        return;
    }
    line.faulty = true;
    va_list values;
    va_start(values, format);
    std::vsnprintf(line.fault, sizeof line.fault, format, values);
    va_end(values);
}

void note_problem(const line_scan& line) {
    if (problem_lines++ > 0) {
        return;
    }
    first_problem_line = line.number;
    if (line.after_end) {
        std::snprintf(first_problem, sizeof first_problem, "comes after the end-of-file record");
    } else {
        std::snprintf(first_problem, sizeof first_problem, "is not an Intel HEX record (%s)",
                      line.fault);
    }
}

// A byte of the line that is not its line end.
void take_content(line_scan& line, unsigned char c) {
    ++line.column;
    if (line.faulty) {
        return;
    }
    if (line.column == 1) {
        if (c != ':') {
            note_fault(line, "no colon at its start");
        }
        return;
    }
    const unsigned value = hex_value[c];
    if (value == not_a_digit) {
        note_fault(line, "a byte that is no hexadecimal digit at column %lld",
                   static_cast<long long>(line.column));
        return;
    }
    if (line.digits++ % 2 == 0) {
        line.high_digit = value;
        return;
    }
    const unsigned byte = line.high_digit * 16 + value;
    if (line.bytes == 0) {
        line.byte_count = byte;
    } else if (line.bytes == 3) {
        line.record_type = byte;
    }
    line.sum += byte;
    line.last_byte = byte;
    ++line.bytes;
}

void take_byte(line_scan& line, unsigned char c) {
    // Only a CR right before the LF, or at the very end, is part of the line end.
    if (line.cr_pending) {
        line.cr_pending = false;
        take_content(line, '\r');
    }
    if (c == '\r') {
        line.cr_pending = true;
        return;
    }
    take_content(line, c);
}

// The data bytes of each record type but data (00): none for the end of the
// file (01), a segment or a linear base address (02, 04) in 2, a start
// address (03, 05) in 4.
constexpr unsigned fixed_byte_count[] = {0, 0, 2, 4, 2, 4};

void judge_record(line_scan& line) {
    constexpr int frame_bytes = 5; // count, address (2), type, checksum
    if (line.faulty) {
        return;
    }
    if (line.digits % 2 != 0) {
        note_fault(line, "an odd number of hexadecimal digits");
    } else if (line.bytes < frame_bytes) {
        note_fault(line, "too short for a record");
    } else if (line.byte_count + frame_bytes != line.bytes) {
        note_fault(line, "byte count %u, but %lld data bytes", line.byte_count,
                   static_cast<long long>(line.bytes - frame_bytes));
    } else if ((line.sum & 0xFF) != 0) {
        note_fault(line, "checksum %02X, expected %02X", line.last_byte,
                   (0x100 - ((line.sum - line.last_byte) & 0xFF)) & 0xFF);
    } else if (line.record_type > 5) {
        note_fault(line, "unknown record type %02X", line.record_type);
    } else if (line.record_type != 0 && line.byte_count != fixed_byte_count[line.record_type]) {
        note_fault(line, "byte count %u, but a record of type %02X holds %u", line.byte_count,
                   line.record_type, fixed_byte_count[line.record_type]);
    }
}

void end_line(line_scan& line) {
    if (line.column > 0) {
        if (line.after_end) {
            note_problem(line);
        } else {
            judge_record(line);
            if (line.faulty) {
                note_problem(line);
            } else if (line.record_type == 1) {
                end_record_seen = true;
                line.after_end = true;
            } else if (line.record_type == 0) {
                data_record_seen = true;
            }
        }
    }
    line_scan next;
    next.number = line.number + 1;
    next.after_end = line.after_end;
    line = next;
}

bool image_has_problems() {
    return problem_lines > 0 || !end_record_seen || !data_record_seen;
}

} // namespace

void record_check_start() {
    problem_lines = 0;
    first_problem_line = 0;
    first_problem[0] = '\0';
    end_record_seen = false;
    data_record_seen = false;
    current = line_scan{};
}

void record_check_take(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            end_line(current);
        } else {
            take_byte(current, c);
        }
    }
}

void record_check_end() {
    end_line(current);
}

std::string image_warnings(const char* raw_name) {
    const std::string named = std::string(warning_prefix) + "[" + shown_name(raw_name) + "] ";
    std::string text;
    if (problem_lines > 0) {
        text += named + "line " + std::to_string(first_problem_line) + " " + first_problem + "\r\n";
    }
    if (problem_lines == 2) {
        text += named + "has 1 more line with a problem\r\n";
    } else if (problem_lines > 2) {
        text +=
            named + "has " + std::to_string(problem_lines - 1) + " more lines with problems\r\n";
    }
    if (!end_record_seen) {
        text += named + "has no end-of-file record: the file may be cut short\r\n";
    }
    if (!data_record_seen) {
        text += named + "holds no data record: there is no firmware in it\r\n";
    }
    if (image_has_problems()) {
        text += std::string(warning_prefix) +
                "Y erases the Flash; a modem that refuses this image, or takes only part of it, "
                "is left without firmware\r\n";
    }
    return text;
}
