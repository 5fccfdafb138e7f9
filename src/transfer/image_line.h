// Image lines: how a text image file is cut into lines and how each line is
// framed on the serial line in the two upload phases. The modem never sees a
// file's line ends as such; the loader and the Flash programmer each take a
// line ended by CR.
#pragma once

#include <cstdio>

// fgets's size: an image line is at most 1023 bytes, up to and including the
// first LF; a longer line of the file arrives as several image lines.
constexpr int image_line_size = 1024;

// Reads the next image line into reply, as fgets would, NUL-terminated.
// Returns the count of bytes read (a NUL among them counts too), 0 at the end
// of the file, -1 when the file cannot be read.
int read_image_line(std::FILE* image);

// Whether an image line that begins with byte c holds text in the firmware
// phase: the text sent ends at the line's first LF, CR or NUL, so a line
// that begins with one of them goes out as a bare CR.
constexpr bool firmware_text_starts_with(char c) {
    return c != '\n' && c != '\r' && c != '\0';
}

// Loader phase: sends the line text before its LF (and before a NUL), CR
// and all, then a CR unless the text holds one already, in one write. Ends
// the text in reply at its LF (after the CR added).
void send_loader_line();

// Firmware phase: sends the line text before its first LF or CR (and before
// a NUL), then one CR, in one write. Ends the text in reply at its LF or CR
// (after the CR added).
void send_firmware_line();
