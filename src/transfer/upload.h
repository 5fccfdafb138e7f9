// The two uploads: a text image streamed to the modem one line at a time,
// stop-and-wait, each line answered by the modem before the next is sent,
// under a progress line. Each takes over an open image file, closes it and
// returns only when every line has been accepted; on a refused or missing
// answer, an unreadable file, or a file that ends before or goes past the
// size it had when the upload started, it ends the run through fail, as it
// does on a firmware without a single line.
#pragma once

#include <cstdio>

// Streams the loader into the modem's RAM.
void upload_loader(std::FILE* loader);

// Streams the firmware into the modem's Flash, through the running loader.
void upload_firmware(std::FILE* firmware);
