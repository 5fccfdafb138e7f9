// romup-mkimage: writes a sample image for rehearsals and tests, an Intel HEX
// file of pseudo-random data from address 0 on, and optionally the same data as
// a raw binary to compare with what romup-sim's --flash writes out.
#include "intel_hex.h"
#include "option_number.h"
#include "write_all.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

const char usage_text[] =
    "usage: romup-mkimage --bytes N --hex FILE [options]\n"
    "\n"
    "Writes N bytes of pseudo-random data, from address 0 on, as an Intel HEX file:\n"
    "data records, an extended linear address record (type 04) at every 64 KiB\n"
    "boundary, and the end-of-file record :00000001FF. The same seed always gives\n"
    "the same data.\n"
    "\n"
    "  --bytes N          number of data bytes (1 to 16777216)\n"
    "  --hex FILE         the Intel HEX file to write\n"
    "  --bin FILE         also write the data as a raw binary\n"
    "  --seed S           seed of the data (default 1)\n"
    "  --record-bytes R   data bytes per record, 16 or 32 (default 16)\n"
    "  --crlf             end lines with CR LF instead of LF\n"
    "  --help             show this text\n"
    "\n"
    "Exit status: 0 when the files are written, 1 when one cannot be written,\n"
    "2 on bad usage.\n";

struct image_options {
    long bytes = 0;
    unsigned long seed = 1;
    long record_bytes = 16;
    std::string hex_path;
    std::string bin_path;
    bool crlf = false;
};

enum option_id {
    opt_bytes = 256,
    opt_hex,
    opt_bin,
    opt_seed,
    opt_record_bytes,
    opt_crlf,
    opt_help
};

// 0: go on; 1: --help given; 2: bad usage, reported on standard error.
int parse_options(int argc, char** argv, image_options& o) {
    static const option options[] = {
        {"bytes", required_argument, nullptr, opt_bytes},
        {"hex", required_argument, nullptr, opt_hex},
        {"bin", required_argument, nullptr, opt_bin},
        {"seed", required_argument, nullptr, opt_seed},
        {"record-bytes", required_argument, nullptr, opt_record_bytes},
        {"crlf", no_argument, nullptr, opt_crlf},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    int id;
    while ((id = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        long seed = 0;
        switch (id) {
        case opt_bytes:
            if (!parse_option_number(optarg, 1, long{hex_flash_capacity}, o.bytes)) {
                std::fprintf(stderr, "romup-mkimage: --bytes needs 1 to %u\n", hex_flash_capacity);
                return 2;
            }
            break;
        case opt_hex:
            o.hex_path = optarg;
            break;
        case opt_bin:
            o.bin_path = optarg;
            break;
        case opt_seed:
            if (!parse_option_number(optarg, 0, 0x7FFFFFFF, seed)) {
                std::fprintf(stderr, "romup-mkimage: --seed needs 0 to 2147483647\n");
                return 2;
            }
            o.seed = static_cast<unsigned long>(seed);
            break;
        case opt_record_bytes:
            if (!parse_option_number(optarg, 16, 32, o.record_bytes) ||
                (o.record_bytes != 16 && o.record_bytes != 32)) {
                std::fprintf(stderr, "romup-mkimage: --record-bytes is 16 or 32\n");
                return 2;
            }
            break;
        case opt_crlf:
            o.crlf = true;
            break;
        case opt_help:
            return 1;
        default:
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "romup-mkimage: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    if (o.bytes == 0 || o.hex_path.empty()) {
        std::fprintf(stderr, "romup-mkimage: --bytes and --hex are required\n");
        return 2;
    }
    return 0;
}

// A linear congruential generator: the same bytes from the same seed everywhere.
std::vector<std::uint8_t> make_data(std::size_t count, unsigned long seed) {
    std::vector<std::uint8_t> data(count);
    std::uint32_t state = static_cast<std::uint32_t>(seed);
    for (std::uint8_t& byte : data) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return data;
}

// The image as text, written whole: 45 MiB at most, for the largest Flash.
bool write_hex(const std::string& path, const std::vector<std::uint8_t>& data,
               std::size_t record_bytes, bool crlf) {
    const char* line_end = crlf ? "\r\n" : "\n";
    std::string text;
    std::uint32_t upper = 0;
    for (std::size_t address = 0; address < data.size(); address += record_bytes) {
        // Records never straddle a 64 KiB boundary, as record_bytes divides it.
        const std::uint32_t address_upper = static_cast<std::uint32_t>(address >> 16);
        if (address_upper != upper) {
            upper = address_upper;
            const std::uint8_t value[2] = {static_cast<std::uint8_t>(upper >> 8),
                                           static_cast<std::uint8_t>(upper & 0xFF)};
            text += hex_format(4, 0, value, 2) + line_end;
        }
        const std::size_t count = std::min(record_bytes, data.size() - address);
        text += hex_format(0, static_cast<std::uint16_t>(address & 0xFFFF), &data[address], count) +
                line_end;
    }
    text += hex_format(1, 0, nullptr, 0) + line_end;
    return sim_write_file(path.c_str(), text.data(), text.size());
}

bool write_bin(const std::string& path, const std::vector<std::uint8_t>& data) {
    return sim_write_file(path.c_str(), reinterpret_cast<const char*>(data.data()), data.size());
}

} // namespace

int main(int argc, char** argv) {
    image_options o;
    const int parsed = parse_options(argc, argv, o);
    if (parsed == 1) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (parsed == 2) {
        std::fputs("Try 'romup-mkimage --help'.\n", stderr);
        return 2;
    }
    const std::vector<std::uint8_t> data = make_data(static_cast<std::size_t>(o.bytes), o.seed);
    if (!write_hex(o.hex_path, data, static_cast<std::size_t>(o.record_bytes), o.crlf)) {
        std::fprintf(stderr, "romup-mkimage: cannot write %s\n", o.hex_path.c_str());
        return 1;
    }
    if (!o.bin_path.empty() && !write_bin(o.bin_path, data)) {
        std::fprintf(stderr, "romup-mkimage: cannot write %s\n", o.bin_path.c_str());
        return 1;
    }
    return 0;
}
