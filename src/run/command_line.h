// The command line and the start-up checks on the files it names.
#pragma once

constexpr char usage_text[] =
    "usage:\r\n romup [-c] -p<port> -f<firmware> [-s<speed>] [-l<loader>]\r\n";

// Fills port_name, firmware_name, loader_name, line_speed and reload_mode from
// the arguments after the command name. Each argument is one option: "-" or
// "/", a letter (either case) and its value attached; an unknown letter is
// ignored, and a repeated option takes its last value. Returns false when the
// command line is unusable: an argument that is no option (later ones are not
// looked at), a path longer than 512 characters (never cut: a cut path can
// name another file), or no port or no firmware.
bool read_command_line(int argc, char** argv);

// The -s value: as atoi reads it (leading blanks, a sign, the digits up to the
// first other character, 0 without digits), but saturated at the ends of the
// 32-bit range instead of overflowing.
int read_speed(const char* text);

// Ends the run unless the image files can be taken (take_image): the firmware
// first, completely, then, unless in re-load mode, the loader. A firmware in
// which no line holds text is refused as empty: erasing the Flash and writing
// nothing must not pass for success.
void check_image_files();

// Reads the firmware once and checks it as Intel HEX records, for the
// warnings at the question; ends the run when it cannot be read to its end.
void check_firmware_records();
