#include "fleet_images.h"

#include "fleet_io.h"
#include "texts/image_check.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <nettle/sha2.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The paths the interrupt handler removes: fixed buffers, written before it
// is installed, since a handler may call nothing that allocates.
char folder_path[4096] = "";
char firmware_path[4096 + 32] = "";
char loader_path[4096 + 32] = "";

void remove_made() {
    for (const char* path : {firmware_path, loader_path}) {
        if (path[0] != '\0') {
            unlink(path);
        }
    }
    if (folder_path[0] != '\0') {
        rmdir(folder_path);
    }
}

// unlink, rmdir, signal and raise are safe in a handler.
void remove_and_end(int signal_number) {
    remove_made();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

constexpr int interrupting_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void guard_copies(bool on) {
    for (int signal_number : interrupting_signals) {
        struct sigaction action {};
        struct sigaction inherited {};
        sigaction(signal_number, nullptr, &inherited);
        if (inherited.sa_handler == SIG_IGN) {
            continue;
        }
        action.sa_handler = on ? remove_and_end : SIG_DFL;
        sigfillset(&action.sa_mask);
        sigaction(signal_number, &action, nullptr);
    }
}

std::string hex_of(const std::uint8_t* bytes, std::size_t count) {
    std::string hex;
    for (std::size_t index = 0; index < count; ++index) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", bytes[index]);
        hex += pair;
    }
    return hex;
}

// Reads the source to its end into a new file at path, hashing every byte,
// and checking its records when check is set.
bool copy_image(int source, const char* path, bool check, std::string& sha256) {
    const int copy = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (copy == -1) {
        return false;
    }
    sha256_ctx hash;
    sha256_init(&hash);
    if (check) {
        record_check_start();
    }
    char chunk[65536];
    bool copied = true;
    for (;;) {
        const ssize_t got = read_some(source, chunk, sizeof chunk);
        if (got == 0) {
            break;
        }
        if (got < 0 || !write_in_full(copy, chunk, static_cast<std::size_t>(got))) {
            copied = false;
            break;
        }
        sha256_update(&hash, static_cast<std::size_t>(got),
                      reinterpret_cast<const std::uint8_t*>(chunk));
        if (check) {
            record_check_take(chunk, static_cast<std::size_t>(got));
        }
    }
    if (check) {
        record_check_end();
    }
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&hash, sizeof digest, digest);
    sha256 = hex_of(digest, sizeof digest);
    // Read-only: nothing of the fleet's writes to it again.
    copied = fchmod(copy, 0400) == 0 && copied;
    const int error = errno;
    copied = close(copy) == 0 && copied;
    errno = copied ? errno : error;
    return copied;
}

// Opens the image the operator named, as romup would take it: a regular
// file, or a pipe or FIFO read to its end; a device, a folder or a socket
// has no end to read to.
int open_source(const std::string& name, bool& from_pipe) {
    struct stat before {};
    if (stat(name.c_str(), &before) != 0) {
        return -1;
    }
    from_pipe = S_ISFIFO(before.st_mode);
    if (!S_ISREG(before.st_mode) && !from_pipe) {
        errno = EINVAL;
        return -1;
    }
    // A FIFO's open waits for its writer; O_NONBLOCK keeps a FIFO put in a
    // regular file's place since the stat from holding the open.
    const int fd =
        open(name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | (from_pipe ? 0 : O_NONBLOCK));
    struct stat opened {};
    if (fd != -1 &&
        (fstat(fd, &opened) != 0 || (opened.st_mode & S_IFMT) != (before.st_mode & S_IFMT))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (fd != -1 && !from_pipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    return fd;
}

bool take_image(const std::string& name, const char* copy_path, bool check, fleet_image& image,
                std::string& error) {
    image.given = name;
    image.copy = copy_path;
    const int source = open_source(name, image.from_pipe);
    const bool taken = source != -1 && copy_image(source, copy_path, check, image.sha256);
    const int why = errno;
    if (source != -1) {
        close(source);
    }
    if (!taken) {
        error = "cannot read " + name + " to its end into " + copy_path + ": " +
                (why == EINVAL ? "not a regular file or a pipe" : std::strerror(why));
    }
    return taken;
}

} // namespace

bool take_images(const std::string& firmware_name, const std::string& loader_name,
                 fleet_image& firmware, fleet_image& loader, std::string& error) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = std::string(tmpdir != nullptr && tmpdir[0] == '/' ? tmpdir : "/tmp") +
                         "/romup-fleet-XXXXXX";
    if (folder.size() >= sizeof folder_path || mkdtemp(folder.data()) == nullptr) {
        folder = "/tmp/romup-fleet-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            error = std::string("cannot make a private folder in /tmp: ") + std::strerror(errno);
            return false;
        }
    }
    std::snprintf(folder_path, sizeof folder_path, "%s", folder.c_str());
    std::snprintf(firmware_path, sizeof firmware_path, "%s/firmware.hex", folder_path);
    if (!loader_name.empty()) {
        std::snprintf(loader_path, sizeof loader_path, "%s/ramagent.hex", folder_path);
    }
    guard_copies(true);
    const bool taken =
        take_image(firmware_name, firmware_path, true, firmware, error) &&
        (loader_name.empty() || take_image(loader_name, loader_path, false, loader, error));
    guard_copies(false);
    if (!taken) {
        remove_made();
    }
    return taken;
}

std::string firmware_warnings(const fleet_image& firmware) {
    return image_warnings(firmware.given.c_str());
}

std::string file_sha256(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd == -1) {
        return "";
    }
    sha256_ctx hash;
    sha256_init(&hash);
    char chunk[65536];
    ssize_t got = 0;
    while ((got = read_some(fd, chunk, sizeof chunk)) > 0) {
        sha256_update(&hash, static_cast<std::size_t>(got),
                      reinterpret_cast<const std::uint8_t*>(chunk));
    }
    close(fd);
    if (got < 0) {
        return "";
    }
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&hash, sizeof digest, digest);
    return hex_of(digest, sizeof digest);
}

void remove_images() {
    remove_made();
}
