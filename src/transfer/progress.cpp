#include "transfer/progress.h"

#include <sys/types.h>

std::int64_t image_size = -1;
std::int64_t shown_percent = 0;

void progress_start(const char* heading, std::FILE* image) {
    std::fputs(heading, stdout);
    // A pipe cannot seek: its size stays -1 and the line stays at 0%.
    fseeko(image, 0, SEEK_END);
    image_size = ftello(image);
    fseeko(image, 0, SEEK_SET);
    shown_percent = 0;
}

void show_progress(std::FILE* image) {
    const std::int64_t position = ftello(image);
    if (position < 0 || image_size <= 0) {
        return;
    }
    // 64 bits: position * 100 overflows 32 bits beyond 21 MB.
    const std::int64_t percent = position * 100 / image_size;
    if (percent != shown_percent) {
        std::printf("\b\b\b\b%3lld%%", static_cast<long long>(percent));
        shown_percent = percent;
    }
}

void progress_end() {
    std::fputs("\r\n", stdout);
}
