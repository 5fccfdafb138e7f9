// The two uploads: a text image streamed to the modem one line at a time,
// stop-and-wait, each line answered by the modem before the next is sent,
// under a progress line. Each takes over an open image file, closes it and
// returns only when every line has been accepted and the bytes read were
// exactly those of the image's start-up check (expected); on a refused or
// missing answer, an unreadable file, or a file that differs from its check
// (cut, grown or rewritten since), it ends the run through fail.
#pragma once

#include "transfer/image_digest.h"

#include <cstdio>

// Streams the loader into the modem's RAM.
void upload_loader(std::FILE* loader, const image_digest& expected);

// Streams the firmware into the modem's Flash, through the running loader.
void upload_firmware(std::FILE* firmware, const image_digest& expected);
