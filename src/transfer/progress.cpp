#include "transfer/progress.h"

#include "texts/messages.h"

#include <cstdio>

namespace {

// The image's size in bytes, and the percentage last shown (0 at the start,
// which the heading shows already).
std::int64_t image_size = 0;
std::int64_t shown_percent = 0;

} // namespace

void progress_start(const char* heading, std::int64_t size) {
    std::fputs(heading, stdout);
    image_size = size;
    shown_percent = 0;
}

void show_progress(std::int64_t position) {
    if (position < 0 || image_size <= 0) {
        return;
    }
    // 64 bits: position * 100 overflows 32 bits beyond 21 MB.
    const std::int64_t percent = position * 100 / image_size;
    if (percent != shown_percent) {
        std::printf(progress_update_format, static_cast<long long>(percent));
        shown_percent = percent;
    }
}

void progress_end() {
    std::fputs(progress_end_text, stdout);
}
