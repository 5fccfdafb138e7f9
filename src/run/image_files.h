// The image files as a run takes them: each tested at start-up, before the
// port opens, and opened for its upload later. A pipe or FIFO has no size and
// may never end: it is read whole at its test, while the operator can still
// interrupt, into a private copy that the run then uses in its place.
#pragma once

#include <cstdio>

// The two images; their names are in firmware_name and loader_name.
enum class image_file { firmware, loader };

// The start-up test of one image. Returns true for a readable regular file,
// and for a pipe or FIFO once it has been read to its end into its copy
// (waiting, with no limit, for a writer and for the end). Returns false for
// anything else (missing, not readable, a directory, a device, a socket), and
// for a pipe or FIFO that cannot be read to its end or copied.
bool take_image(image_file which);

// Opens the image for reading from its start: its copy when it has one, else
// the file by its name, without waiting for a writer should a FIFO have taken
// its place. Returns null when it cannot be opened or the opened file is not
// a regular file; nothing is printed.
std::FILE* open_image(image_file which);
