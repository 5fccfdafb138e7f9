// Intel HEX records: the format of the loader and firmware images, which the
// simulated loader checks line by line and programs into its Flash.
//
// A record is ':' followed by pairs of hex digits: the data byte count, a 16-bit
// address offset, the record type, the data, and a checksum that makes all the
// pairs sum to 0 modulo 256. Types: 00 data, 01 end of file, 02 extended segment
// address, 03 start segment address, 04 extended linear address, 05 start linear
// address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The simulated Flash holds this many bytes; data beyond it cannot be programmed.
constexpr std::uint32_t hex_flash_capacity = 16u * 1024u * 1024u;

struct hex_record {
    int type = 0;
    std::uint16_t offset = 0;
    std::vector<std::uint8_t> data;
};

// Parses one record line (without its line end) into record. True when the line
// is ':' and hex pairs (either case) forming a record of a known type, with the
// data byte count that type requires and a length that matches the count; with
// check_sum set the checksum must be right as well.
bool hex_parse(const std::string& line, bool check_sum, hex_record& record);

// Applies a parsed record to memory, which grows to the highest address written
// (new bytes read 0xFF). base is the address that data offsets count from: 02
// and 04 records set it, the others leave it. False, with memory unchanged, when
// data would lie at or beyond hex_flash_capacity.
bool hex_apply(const hex_record& record, std::uint32_t& base, std::vector<std::uint8_t>& memory);

// One record as text: ':', the pairs in upper case and the checksum; no line end.
// count is at most 255.
std::string hex_format(int type, std::uint16_t offset, const std::uint8_t* data, std::size_t count);

// Reads an Intel HEX file into memory as the Flash would hold it (from address 0
// to the highest address, gaps 0xFF). Returns false on a malformed file.
bool sim_hex_to_memory(const std::string& path, std::vector<std::uint8_t>& memory);
