#include "run/image_files.h"

#include "line/fd_io.h"
#include "run/exits.h"
#include "run/state.h"
#include "texts/image_check.h"
#include "texts/messages.h"
#include "transfer/image_line.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct taken_image {
    // The file, or its private copy; -1 until taken, and once its upload has
    // it.
    int fd = -1;
    bool from_pipe = false;
    image_digest digest;
    // What fstat said at the end of the pass.
    struct stat state {};
};

// Written by take_image only.
taken_image firmware_image;
taken_image loader_image;

// The firmware's pass: whether a line holds text, and where in its image line
// (at most image_line_size - 1 bytes, up to an LF) the next byte falls.
bool firmware_text = false;
int line_column = 0;

taken_image& image_of(image_file which) {
    return which == image_file::firmware ? firmware_image : loader_image;
}

const char* name_of(image_file which) {
    return which == image_file::firmware ? firmware_name : loader_name;
}

void find_text(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count && !firmware_text; ++i) {
        if (line_column == 0 && firmware_text_starts_with(bytes[i])) {
            firmware_text = true;
        }
        ++line_column;
        if (bytes[i] == '\n' || line_column == image_line_size - 1) {
            line_column = 0;
        }
    }
}

void take_bytes(image_file which, const char* bytes, std::size_t count) {
    digest_add(image_of(which).digest, bytes, count);
    if (which == image_file::firmware) {
        find_text(bytes, count);
        record_check_take(bytes, count);
    }
}

// A file for this process alone in folder, with no name left behind once it
// is created: it vanishes with the run, however the run ends. -1 when none
// can be made there.
int private_file_in(const char* folder) {
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

// The copy moved to /tmp, with what it holds so far, when $TMPDIR takes no
// more (full, or on a file system that turned read-only). -1 when there is
// no room there either.
int copy_moved_to_tmp(int copy) {
    int moved = private_file_in("/tmp");
    if (moved != -1 && lseek(copy, 0, SEEK_SET) == 0) {
        char chunk[16384];
        ssize_t got = 0;
        while ((got = fd_read(copy, chunk, sizeof chunk)) > 0 &&
               fd_write_all(moved, chunk, static_cast<std::size_t>(got))) {
        }
        if (got != 0) {
            close(moved);
            moved = -1;
        }
    } else if (moved != -1) {
        close(moved);
        moved = -1;
    }
    close(copy);
    return moved;
}

// Reads the pipe or FIFO source to its end into a private file in $TMPDIR,
// else /tmp, passing every byte to the pass. Returns the copy, or -1 on a
// read or a write error.
int copy_to_end(image_file which, int source) {
    const char* folder = std::getenv("TMPDIR");
    int copy = folder != nullptr && folder[0] != '\0' ? private_file_in(folder) : -1;
    // A $TMPDIR that is missing, not a folder or read-only is no reason to
    // refuse the image.
    if (copy == -1) {
        copy = private_file_in("/tmp");
    }
    char chunk[16384];
    while (copy != -1) {
        const ssize_t got = fd_read(source, chunk, sizeof chunk);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            close(copy);
            return -1;
        }
        const auto count = static_cast<std::size_t>(got);
        if (!fd_write_all(copy, chunk, count)) {
            copy = copy_moved_to_tmp(copy);
            if (copy != -1 && !fd_write_all(copy, chunk, count)) {
                close(copy);
                copy = -1;
            }
            if (copy == -1) {
                return -1;
            }
        }
        take_bytes(which, chunk, count);
    }
    return copy;
}

// Reads the regular file fd from its start to its end, passing every byte
// to the pass; false on a read error.
bool read_to_end(image_file which, int fd) {
    char chunk[16384];
    for (;;) {
        const ssize_t got = fd_read(fd, chunk, sizeof chunk);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            return false;
        }
        take_bytes(which, chunk, static_cast<std::size_t>(got));
    }
}

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether a and b show the same file (device and inode) with the same size
// and modification time.
bool same_size_and_time(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           same_time(a.st_mtim, b.st_mtim);
}

// same_size_and_time, and the same change time. The change time moves with
// every write and every change of the file's names, mode or times, and
// nothing but the system's clock sets it: a rewrite whose modification time
// was put back (touch -r) still shows.
bool same_file_state(const struct stat& a, const struct stat& b) {
    return same_size_and_time(a, b) && same_time(a.st_ctim, b.st_ctim);
}

// Whether the image's file, read again from its start, holds exactly the
// bytes its pass read.
bool same_bytes(const taken_image& image) {
    if (lseek(image.fd, 0, SEEK_SET) != 0) {
        return false;
    }
    image_digest now;
    char chunk[16384];
    ssize_t got = 0;
    while ((got = fd_read(image.fd, chunk, sizeof chunk)) > 0) {
        digest_add(now, chunk, static_cast<std::size_t>(got));
    }
    return got == 0 && same_digest(now, image.digest);
}

// Opens the image and reads it whole in its pass. Returns false for anything
// but a readable regular file, pipe or FIFO, when it cannot be read to its
// end, and when it changed while it was read.
bool take_image(image_file which) {
    taken_image& image = image_of(which);
    image = taken_image{};
    const char* path = name_of(which);
    struct stat before {};
    if (access(path, R_OK) != 0 || stat(path, &before) != 0) {
        return false;
    }
    int fd = -1;
    if (S_ISREG(before.st_mode)) {
        // O_NONBLOCK: a FIFO put in the file's place since the stat must not
        // hold the run in the open; reads from a regular file ignore it.
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd == -1 || fstat(fd, &before) != 0 || !S_ISREG(before.st_mode) ||
            !read_to_end(which, fd)) {
            if (fd != -1) {
                close(fd);
            }
            return false;
        }
    } else if (S_ISFIFO(before.st_mode)) {
        // The open waits for a writer.
        const int source = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (source == -1) {
            return false;
        }
        fd = copy_to_end(which, source);
        close(source);
        if (fd == -1 || fstat(fd, &before) != 0) {
            if (fd != -1) {
                close(fd);
            }
            return false;
        }
        image.from_pipe = true;
    } else {
        // A directory opens but cannot be read as a file; a device, a socket
        // or a terminal has no end to read to.
        return false;
    }
    struct stat after {};
    if (fstat(fd, &after) != 0 || !same_file_state(before, after) ||
        after.st_size != image.digest.size) {
        close(fd);
        return false;
    }
    image.fd = fd;
    image.state = after;
    return true;
}

} // namespace

void check_image_files() {
    record_check_start();
    firmware_text = false;
    line_column = 0;
    if (!take_image(image_file::firmware)) {
        fail_cannot_open(firmware_name);
    }
    record_check_end();
    if (!firmware_text) {
        fail_naming(firmware_empty_text, firmware_name);
    }
    if (!reload_mode && !take_image(image_file::loader)) {
        fail_cannot_open(loader_name);
    }
}

bool image_from_pipe(image_file which) {
    return image_of(which).from_pipe;
}

bool image_unchanged(image_file which) {
    const taken_image& image = image_of(which);
    struct stat now {};
    if (image.fd == -1 || fstat(image.fd, &now) != 0) {
        return false;
    }
    // Where only the change time moved, the name may have been removed or
    // moved, or the mode changed, or the bytes rewritten with their
    // modification time put back: the bytes decide.
    return same_size_and_time(image.state, now) &&
           (same_time(image.state.st_ctim, now.st_ctim) || same_bytes(image));
}

const image_digest& checked_digest(image_file which) {
    return image_of(which).digest;
}

std::FILE* open_image(image_file which) {
    taken_image& image = image_of(which);
    if (image.fd == -1 || lseek(image.fd, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    std::FILE* stream = fdopen(image.fd, "r");
    if (stream != nullptr) {
        image.fd = -1;
    }
    return stream;
}
