#include "fleet_signals.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

// Written by the handler, read by the poll loop; both ends non-blocking, so a
// burst of signals that fills the pipe loses only repeats.
int signal_pipe[2] = {-1, -1};

void queue_signal(int signal_number) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal_number);
    [[maybe_unused]] const ssize_t written = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool catch_fleet_signals() {
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = queue_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        sigaction(signal_number, &action, nullptr);
    }
    return true;
}

int fleet_signal_fd() {
    return signal_pipe[0];
}

int take_fleet_signal() {
    unsigned char byte = 0;
    return read(signal_pipe[0], &byte, 1) == 1 ? byte : 0;
}
