// An image file held in memory, for the tests and fuzz targets that call the uploads
// directly: read as a file is, failing on purpose where asked, noting whether it was closed.
#pragma once

#include <cstdio>
#include <string>

struct memory_image {
    std::string content;
    // Reads fail with EIO from this offset on (never, by default).
    std::size_t fail_at = std::string::npos;
    // Without seeking, the image's size cannot be taken, as of a pipe.
    bool seekable = true;
    std::size_t position = 0;
    bool closed = false;
};

// A stream over image, which must outlive it; null when none can be made.
std::FILE* open_memory_image(memory_image& image);
