// The command line: romup's options, read into the run state.
#pragma once

// Fills port_name, firmware_name, loader_name, line_speed and reload_mode from
// the arguments after the command name. Each argument is one option: "-" or
// "/", a letter (either case) and its value attached; an unknown letter is
// ignored, and a repeated option takes its last value. Returns false when the
// command line is unusable: an argument that is no option (later ones are not
// looked at), a path longer than 512 characters (never cut: a cut path can
// name another file), or no port, no firmware or an empty loader.
bool read_command_line(int argc, char** argv);
