// A look at the firmware before the erase. The image is read once, at
// start-up, as Intel HEX records (what the modem's Flash programmer takes),
// and what is wrong with it is kept to be shown where the operator decides.
// The check never changes what is sent: the upload streams the file as it is.
#pragma once

#include <cstdint>
#include <cstdio>

// What the last check_image found. A line is a line of the file up to its LF;
// blank lines (nothing but their line end, LF or CR LF) are passed over.
// Lines that are no well-formed record, or that follow the end-of-file record.
extern std::int64_t problem_lines;
// The first of them, counted from 1 (0 when there is none), and what is wrong
// with it, worded to follow "line N ".
extern std::int64_t first_problem_line;
extern char first_problem[96];
// Whether a well-formed end-of-file record (type 01) was found, and a data
// record (type 00).
extern bool end_record_seen;
extern bool data_record_seen;

// Reads image from its current position to its end and checks every line as
// an Intel HEX record: a colon, then pairs of hexadecimal digits (either case)
// for the byte count, the 16-bit address, the record type (00 to 05), the
// data and the checksum; the count must match the data, the checksum the
// bytes. Reads in constant memory. Returns false on a read error (the results
// then say nothing). Leaves the file open at its end.
bool check_image(std::FILE* image);

// Whether the last check_image found anything to warn about.
bool image_has_problems();

// Prints the warnings about the image named name that the last check_image
// found, each line beginning with "Warning: " and ending in CR LF, and a last
// one on what the operator risks; nothing for an image without a problem.
void warn_about_image(const char* name);
