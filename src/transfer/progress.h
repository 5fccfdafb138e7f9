// The progress line of an upload: a heading that ends in a three-column
// percentage, rewritten in place with backspaces as the image's bytes are
// read and acknowledged, and ended with CR LF.
#pragma once

#include <cstdint>
#include <cstdio>

// Size of the image in bytes when its upload started, or -1 where it cannot be
// taken; set by progress_start.
extern std::int64_t image_size;
// The percentage last shown; 0 after progress_start, whose heading shows 0.
extern std::int64_t shown_percent;

// Prints heading (which ends in "   0%"), measures image and rewinds it.
void progress_start(const char* heading, std::FILE* image);

// Shows the share of image read so far, if it changed. Nothing when the
// position or the size cannot be taken, or the size is 0.
void show_progress(std::FILE* image);

// Ends the progress line.
void progress_end();
