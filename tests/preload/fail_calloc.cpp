// A stand-in for calloc, preloaded (LD_PRELOAD) into a romup that a test
// starts, which fails one call: FAIL_CALLOC="COUNT OCCURRENCE" makes the
// OCCURRENCE-th call (from 1) for COUNT elements of one byte return null, as
// when memory runs out. Every other call goes on to the C library's calloc.
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <dlfcn.h>

namespace {

using calloc_function = void* (*)(std::size_t, std::size_t);

calloc_function next_calloc = nullptr;
bool resolving = false;
long failing_count = -1;
long failing_occurrence = 0;
long occurrences = 0;

} // namespace

extern "C" void* calloc(std::size_t count, std::size_t size) {
    if (next_calloc == nullptr) {
        // dlsym may call calloc itself, and copes with a null answer.
        if (resolving) {
            return nullptr;
        }
        resolving = true;
        next_calloc = reinterpret_cast<calloc_function>(dlsym(RTLD_NEXT, "calloc"));
        if (const char* setting = std::getenv("FAIL_CALLOC"); setting != nullptr) {
            char* end = nullptr;
            failing_count = std::strtol(setting, &end, 10);
            failing_occurrence = std::strtol(end, nullptr, 10);
        }
        resolving = false;
    }
    if (size == 1 && static_cast<long>(count) == failing_count &&
        ++occurrences == failing_occurrence) {
        errno = ENOMEM;
        return nullptr;
    }
    return next_calloc(count, size);
}
