// romup's own port, for the tests and fuzz targets that call the exchange primitives and
// the uploads directly: port_fd opened as romup opens it and the four buffers allocated,
// while the caller plays the modem at the far end; all undone when the object goes.
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

    // Throws when the line or the port cannot be had. With quiet, standard
    // output goes to /dev/null, lest the uploads' progress lines flood a test's.
    explicit test_port(line_kind kind = line_kind::pseudo_terminal, bool quiet = false);
    // Leaves the port alone when romup's code closed it (port_fd -1).
    ~test_port();

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
