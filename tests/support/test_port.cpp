#include "test_port.h"

#include "line/port.h"
#include "run/state.h"

#include <chrono>
#include <fcntl.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

test_port::test_port(line_kind kind, bool quiet) {
    if (kind == line_kind::pseudo_terminal) {
        pty = open_raw_pty();
        peer = pty.master;
        port_fd = open(pty.slave_path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    } else {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
            throw std::runtime_error("socketpair failed");
        }
        port_fd = ends[0];
        peer = ends[1];
        socket = true;
        // The buffer counts each small write at about a kilobyte besides its
        // bytes: an upload of many short lines would fill the default one.
        const int buffer_bytes = 1 << 20;
        setsockopt(port_fd, SOL_SOCKET, SO_SNDBUF, &buffer_bytes, sizeof buffer_bytes);
        fcntl(port_fd, F_SETFL, O_NONBLOCK);
    }
    fcntl(peer, F_SETFL, O_NONBLOCK);
    if (port_fd == -1) {
        throw std::runtime_error("cannot open the port");
    }
    alloc_buffers();
    if (quiet) {
        quiet_stdout = std::make_unique<stdout_to_file>("/dev/null");
    }
}

test_port::~test_port() {
    quiet_stdout.reset();
    if (port_fd != -1) {
        close(port_fd);
        port_fd = -1;
    }
    free_buffers();
    if (socket) {
        close(peer);
    }
    close_pty(pty);
}

void test_port::peer_sends(const std::string& bytes) const {
    if (!write_all(peer, bytes)) {
        throw std::runtime_error("the far end cannot write");
    }
    // A pseudo-terminal hands bytes on a little after the write, and on a
    // loaded machine that can take longer than the test build's short limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int queued = 0;
    while (pty.master != -1 && queued < static_cast<int>(bytes.size()) &&
           std::chrono::steady_clock::now() < deadline) {
        ioctl(port_fd, FIONREAD, &queued);
    }
}

std::string test_port::peer_receives() const {
    return read_available(peer);
}

image_digest digest_of(const std::string& content) {
    image_digest digest;
    digest_add(digest, content.data(), content.size());
    return digest;
}
