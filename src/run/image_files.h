// The image files as a run takes them: each opened once, at its start-up test
// before the port opens, and read there in one pass that digests it (its size
// and a hash of its bytes) and, for the firmware, finds whether it holds text
// and checks its records. That one descriptor then serves the upload, which
// must send exactly the bytes the pass read. A pipe or FIFO has no size and
// may never end: it is read whole in its pass, while the operator can still
// interrupt, into a private copy that serves the run in its place.
#pragma once

#include "transfer/image_digest.h"

#include <cstdio>

// The two images; their names are in firmware_name and loader_name.
enum class image_file { firmware, loader };

// Ends the run unless the images can be taken: the firmware first,
// completely, then, unless in re-load mode, the loader. "Can not open" for a
// file that is missing, not readable, no regular file or pipe (a directory, a
// device, a socket), that cannot be read to its end, or that changes while it
// is read; "is empty" for a firmware in which no line holds text: erasing the
// Flash and writing nothing must not pass for success. Waits, with no limit,
// for a pipe's writer and its end.
void check_image_files();

// Whether the image came from a pipe or FIFO: a name such as /dev/fd/63 that
// is gone once the run ends.
bool image_from_pipe(image_file which);

// Whether the image's file is as its pass left it: the same file with the
// same size, modification time and change time, or, where only the change
// time moved (a name removed or moved, a mode changed, a rewrite with its
// modification time put back), the same bytes, read again from its start.
bool image_unchanged(image_file which);

// What the image's pass read, for its upload to compare with.
const image_digest& checked_digest(image_file which);

// The image as a stream from its first byte, over the descriptor of its
// pass, for its upload to take over and close. Null when no stream can be
// made; nothing is printed.
std::FILE* open_image(image_file which);
