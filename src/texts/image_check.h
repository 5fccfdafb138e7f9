// A look at the firmware before the erase: its bytes, as the start-up pass
// over the image reads them, checked as Intel HEX records (what the modem's
// Flash programmer takes); what is wrong is kept to be shown where the
// operator decides. The check never changes what is sent: the upload streams
// the file as it is.
#pragma once

#include <cstddef>
#include <string>

// Starts the check of an image from its first byte, forgetting the last one.
void record_check_start();

// Checks the next count bytes of the image, in constant memory: each line (up
// to its LF; blank lines, nothing but LF or CR LF, are passed over) must be a
// colon and pairs of hexadecimal digits (either case) for the byte count, the
// 16-bit address, the record type (00 to 05), the data and the checksum; the
// count must match the data (and be the fixed count of types 01 to 05), the
// checksum the bytes, and no line may follow the end-of-file record.
void record_check_take(const char* bytes, std::size_t count);

// Ends the check at the end of the image.
void record_check_end();

// The warnings about the image named name that the check found, each line
// beginning with warning_prefix and ending in CR LF, and a last one on what
// the operator risks; "" for an image without a problem.
std::string image_warnings(const char* name);
