// romup's own port, for the tests and the fuzz targets that call the
// exchange primitives and the uploads directly: port_fd opened as romup opens
// its port, the four buffers allocated, and the far end of the line held by
// the caller, who plays the modem. Undone, all of it, when the object goes.
#pragma once

#include "testbed.h"

#include "transfer/image_digest.h"

#include <memory>
#include <string>

enum class line_kind {
    // A pseudo-terminal: the port is the slave, opened by its path.
    pseudo_terminal,
    // A socket pair: whatever the far end writes beforehand is there at once,
    // so that acknowledgements queued before an upload never depend on timing.
    socket_pair,
};

struct test_port {
    // The far end of the line, where the modem would be; non-blocking.
    int peer = -1;
    // The pseudo-terminal, with a line_kind::pseudo_terminal port.
    pty_pair pty;

    // Opens the line and the port (port_fd) and allocates the buffers. With
    // quiet, standard output goes to /dev/null until the object goes: the
    // uploads' progress lines would flood a test's output. Throws when the
    // line or the port cannot be had.
    explicit test_port(line_kind kind = line_kind::pseudo_terminal, bool quiet = false);
    // Closes the port (unless romup's code closed it and set port_fd to -1),
    // the line and the buffers, and gives standard output back.
    ~test_port();
    test_port(const test_port&) = delete;
    test_port& operator=(const test_port&) = delete;

    // Writes bytes at the far end and returns once the port can read them all.
    void peer_sends(const std::string& bytes) const;
    // Everything that has arrived at the far end and not been read yet.
    std::string peer_receives() const;

  private:
    bool socket = false;
    std::unique_ptr<stdout_to_file> quiet_stdout;
};

// What the start-up check of an image holding content would have read: what
// an upload of content expects.
image_digest digest_of(const std::string& content);
