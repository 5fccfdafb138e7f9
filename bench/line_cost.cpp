#include "line_cost.h"

#include "test_port.h"

#include "line/port.h"
#include "run/state.h"
#include "transfer/upload.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Set while romup's upload runs: on a refused or missing answer it ends the
// process through its own failure exit, whose message goes to the silenced
// standard output.
bool in_romup_upload = false;

void explain_romup_exit() {
    if (in_romup_upload) {
        std::fputs("romup-bench: romup's upload ended the process: the peer did not answer\n",
                   stderr);
    }
}

std::int64_t wall_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The peer: answers every CR with "." as soon as it has read it, blocking in
// read meanwhile, and ends once every slave handle is closed (the read then
// fails with EIO).
[[noreturn]] void answer_at_once(int master) {
    char got[4096];
    char dots[4096];
    std::memset(dots, '.', sizeof dots);
    for (long n; (n = read_some(master, got, sizeof got)) > 0;) {
        const auto crs = std::count(got, got + n, '\r');
        if (!write_all(master, std::string(dots, static_cast<std::size_t>(crs)))) {
            _exit(1);
        }
    }
    _exit(0);
}

// The least a stop-and-wait upload can do per line: the system calls romup
// makes (fgets, a write of the text, a write of the CR, reads that poll the
// non-blocking port until the answer is there) and nothing more; no clock.
bool minimal_upload(std::FILE* image) {
    char line[1024];
    bool accepted = true;
    while (accepted && std::fgets(line, sizeof line, image) != nullptr) {
        const std::size_t length = std::strcspn(line, "\r\n");
        if (write(port_fd, line, length) != static_cast<ssize_t>(length) ||
            write(port_fd, "\r", 1) != 1) {
            accepted = false;
            break;
        }
        char answer = 0;
        while (read(port_fd, &answer, 1) != 1) {
        }
        accepted = answer == '.';
    }
    std::fclose(image);
    return accepted;
}

enum class uploader { romup, romup_sleeping, minimal };

// Wall time of one upload of image, in nanoseconds; -1 when it fails.
std::int64_t time_upload(const std::string& image, uploader kind) {
    std::FILE* file = std::fopen(image.c_str(), "r");
    if (file == nullptr) {
        return -1;
    }
    const image_digest checked = digest_of(read_file(image));
    in_romup_upload = kind != uploader::minimal;
    sleeping_waits = kind == uploader::romup_sleeping;
    const std::int64_t start = wall_ns();
    bool accepted = true;
    if (in_romup_upload) {
        upload_firmware(file, checked);
    } else {
        accepted = minimal_upload(file);
    }
    const std::int64_t elapsed = wall_ns() - start;
    in_romup_upload = false;
    sleeping_waits = false;
    return accepted ? elapsed : -1;
}

// The port with the peer process on the master side, standard output
// silenced: romup's progress line is part of its cost, but not of the
// report. Ends the peer when it goes.
struct peer_session {
    test_port port{line_kind::pseudo_terminal, true};
    pid_t peer = fork();

    peer_session() {
        if (peer == 0) {
            close(port_fd);
            close(port.pty.slave);
            // The peer waits in read.
            fcntl(port.peer, F_SETFL, 0);
            answer_at_once(port.peer);
        }
    }
    ~peer_session() {
        close(port_fd);
        port_fd = -1;
        close(port.pty.slave);
        port.pty.slave = -1;
        if (peer > 0) {
            waitpid(peer, nullptr, 0);
        }
    }
    peer_session(const peer_session&) = delete;
    peer_session& operator=(const peer_session&) = delete;
};

} // namespace

std::string make_line_image(int lines) {
    static const char digits[] = "0123456789ABCDEF";
    std::string image;
    image.reserve(static_cast<std::size_t>(lines) * 45);
    std::uint32_t value = 3306;
    for (int i = 0; i < lines; ++i) {
        image += ':';
        for (int j = 0; j < 43; ++j) {
            value = value * 1103515245u + 12345u;
            image += digits[value >> 28];
        }
        image += '\n';
    }
    return image;
}

bool measure_line_cost(const std::string& image, int lines, int rounds, line_cost_result& result,
                       std::string& problem) {
    static const bool registered = std::atexit(explain_romup_exit) == 0;
    static_cast<void>(registered);
    peer_session session;
    if (session.peer == -1) {
        problem = "cannot start the peer";
        return false;
    }
    // SIGALRM's default action stops a hung upload: the minimal loop has no limit.
    alarm(static_cast<unsigned>(30 + lines * (3 * rounds + 1) / 1000));
    // A first pass of each warms the caches, the page cache and the peer.
    time_upload(image, uploader::romup);
    time_upload(image, uploader::romup_sleeping);
    time_upload(image, uploader::minimal);
    for (int round = 0; round < rounds; ++round) {
        const std::int64_t romup_ns = time_upload(image, uploader::romup);
        const std::int64_t sleeping_ns = time_upload(image, uploader::romup_sleeping);
        const std::int64_t minimal_ns = time_upload(image, uploader::minimal);
        if (romup_ns < 0 || sleeping_ns < 0 || minimal_ns < 0) {
            problem = "an upload could not run";
            return false;
        }
        result.romup_us.push_back(static_cast<double>(romup_ns) / 1e3 / lines);
        result.sleeping_us.push_back(static_cast<double>(sleeping_ns) / 1e3 / lines);
        result.minimal_us.push_back(static_cast<double>(minimal_ns) / 1e3 / lines);
    }
    alarm(0);
    return true;
}
