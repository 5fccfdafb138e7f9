// The progress line of an upload: a heading that ends in a three-column
// percentage, rewritten in place with backspaces as the image's bytes are
// read and acknowledged, and ended with CR LF. Its state (the image's size
// and the percentage shown) lives from progress_start to the next one.
#pragma once

#include <cstdint>

// Prints heading (which ends in "   0%") for an image of size bytes, as its
// start-up check measured it.
void progress_start(const char* heading, std::int64_t size);

// Shows the share of the image that position bytes are, if it changed since
// the last one shown. Nothing when the size is 0 or less.
void show_progress(std::int64_t position);

// Ends the progress line.
void progress_end();
