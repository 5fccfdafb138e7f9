#include "run/image_files.h"

#include "run/state.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The private copy of each image read from a pipe or FIFO; -1 for an image
// that is read by its name. Written by take_image only.
int firmware_copy = -1;
int loader_copy = -1;

int& copy_of(image_file which) {
    return which == image_file::firmware ? firmware_copy : loader_copy;
}

const char* name_of(image_file which) {
    return which == image_file::firmware ? firmware_name : loader_name;
}

// A file for this process alone in $TMPDIR or /tmp, with no name left behind
// once it is created: it vanishes with the run, however the run ends.
int private_file() {
    const char* folder = std::getenv("TMPDIR");
    if (folder == nullptr || folder[0] == '\0') {
        folder = "/tmp";
    }
#ifdef O_TMPFILE
    const int unnamed = open(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (unnamed != -1) {
        return unnamed;
    }
#endif
    // Where a file cannot be created without a name, the name goes at once.
    char path[4096];
    const int length = std::snprintf(path, sizeof path, "%s/romup-XXXXXX", folder);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return -1;
    }
    const int named = mkstemp(path);
    if (named != -1) {
        unlink(path);
    }
    return named;
}

// Writes all of count bytes; false when the file takes no more (no room).
bool write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = write(fd, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// A private file holding what source gives up to its end, rewound; -1 on a
// read or a write error.
int copy_to_end(int source) {
    int copy = private_file();
    char chunk[16384];
    while (copy != -1) {
        const ssize_t got = read(source, chunk, sizeof chunk);
        if (got == 0) {
            break;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || !write_all(copy, chunk, static_cast<std::size_t>(got))) {
            close(copy);
            copy = -1;
        }
    }
    if (copy != -1 && lseek(copy, 0, SEEK_SET) != 0) {
        close(copy);
        copy = -1;
    }
    return copy;
}

// The copy of the pipe or FIFO at path; -1 when it cannot be made. The open
// waits for a writer.
int copy_of_pipe(const char* path) {
    const int source = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (source == -1) {
        return -1;
    }
    const int copy = copy_to_end(source);
    close(source);
    return copy;
}

} // namespace

bool take_image(image_file which) {
    const char* path = name_of(which);
    struct stat info {};
    if (access(path, R_OK) != 0 || stat(path, &info) != 0) {
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        return true;
    }
    // A directory opens but cannot be read as a file; a device, a socket or a
    // terminal has no end to read to.
    if (!S_ISFIFO(info.st_mode)) {
        return false;
    }
    copy_of(which) = copy_of_pipe(path);
    return copy_of(which) != -1;
}

std::FILE* open_image(image_file which) {
    int fd = -1;
    if (copy_of(which) != -1) {
        // The duplicate shares the copy's position, which every reading of
        // the image starts by rewinding.
        fd = dup(copy_of(which));
        if (fd != -1 && lseek(fd, 0, SEEK_SET) != 0) {
            close(fd);
            fd = -1;
        }
    } else {
        // O_NONBLOCK: a FIFO put in the image's place since its test must not
        // hold the run in the open; reads from a regular file ignore it.
        fd = open(name_of(which), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    }
    if (fd == -1) {
        return nullptr;
    }
    struct stat info {};
    std::FILE* image = nullptr;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        image = fdopen(fd, "r");
    }
    if (image == nullptr) {
        close(fd);
    }
    return image;
}
