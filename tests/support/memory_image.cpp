#include "memory_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

ssize_t read_image(void* cookie, char* buffer, std::size_t size) {
    auto* image = static_cast<memory_image*>(cookie);
    if (image->position >= image->fail_at) {
        errno = EIO;
        return -1;
    }
    const std::size_t end = std::min(image->fail_at, image->content.size());
    const std::size_t count = std::min(size, end - std::min(end, image->position));
    std::memcpy(buffer, image->content.data() + image->position, count);
    image->position += count;
    return static_cast<ssize_t>(count);
}

int seek_image(void* cookie, off64_t* offset, int whence) {
    auto* image = static_cast<memory_image*>(cookie);
    const off64_t base = whence == SEEK_SET   ? 0
                         : whence == SEEK_CUR ? static_cast<off64_t>(image->position)
                                              : static_cast<off64_t>(image->content.size());
    const off64_t target = base + *offset;
    if (!image->seekable || target < 0 || target > static_cast<off64_t>(image->content.size())) {
        errno = ESPIPE;
        return -1;
    }
    image->position = static_cast<std::size_t>(target);
    *offset = target;
    return 0;
}

int close_image(void* cookie) {
    static_cast<memory_image*>(cookie)->closed = true;
    return 0;
}

} // namespace

std::FILE* open_memory_image(memory_image& image) {
    return fopencookie(&image, "r",
                       cookie_io_functions_t{read_image, nullptr, seek_image, close_image});
}
