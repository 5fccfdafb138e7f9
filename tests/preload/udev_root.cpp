// The udev database moved, preloaded (LD_PRELOAD) into a romup that a test
// starts: a path under /run/udev/ that romup looks at (access, fopen) is
// looked at under ROMUP_UDEV_ROOT instead, so that a test can give a device a
// record without touching the machine's database. Only the folder romup names
// itself is moved: a misspelt one is not. Linked into a test program instead,
// its fopen stands before the C library's for the program's libraries too
// (libudev's reading of a device's record).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace {

constexpr char udev_folder[] = "/run/udev/";

// path, or its place under ROMUP_UDEV_ROOT when it lies under /run/udev/.
std::string moved(const char* path) {
    const char* root = std::getenv("ROMUP_UDEV_ROOT");
    if (root == nullptr || std::strncmp(path, udev_folder, sizeof udev_folder - 1) != 0) {
        return path;
    }
    return std::string(root) + "/" + (path + sizeof udev_folder - 1);
}

template <typename function> function next(const char* name) {
    return reinterpret_cast<function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int access(const char* path, int mode) noexcept {
    static const auto next_access = next<int (*)(const char*, int)>("access");
    return next_access(moved(path).c_str(), mode);
}

extern "C" std::FILE* fopen(const char* path, const char* mode) {
    static const auto next_fopen = next<std::FILE* (*)(const char*, const char*)>("fopen");
    return next_fopen(moved(path).c_str(), mode);
}

extern "C" std::FILE* fopen64(const char* path, const char* mode) {
    static const auto next_fopen64 = next<std::FILE* (*)(const char*, const char*)>("fopen64");
    return next_fopen64(moved(path).c_str(), mode);
}
