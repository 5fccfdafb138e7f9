#include "fleet_signals.h"

#include "line/held_signals.h"

#include <cerrno>
#include <ctime>

namespace {

sigset_t caught_set;
// The mask the fleet started with, let through in fleet_wait.
sigset_t open_mask;

volatile std::sig_atomic_t caught[NSIG] = {};

void note_signal(int signal_number) {
    caught[signal_number] = 1;
}

// The signals romup holds off while its port is open (line/held_signals.h):
// every one whose default ends the process and that can be ignored, but for
// the faults of its own. SIGXFSZ caught, a write past the file-size limit
// fails with EFBIG instead, and is counted where it was made.
sigset_t wanted;

void add_wanted(int signal_number) {
    sigaddset(&wanted, signal_number);
}

} // namespace

void hold_file_size_signal() {
    sigset_t file_size;
    sigemptyset(&file_size);
    sigaddset(&file_size, SIGXFSZ);
    sigprocmask(SIG_BLOCK, &file_size, nullptr);
}

bool catch_fleet_signals() {
    sigemptyset(&wanted);
    for_each_held_signal(add_wanted);
    sigaddset(&wanted, SIGCHLD);
    sigemptyset(&caught_set);
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigfillset(&action.sa_mask);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction inherited {};
        // A signal ignored from the start stays ignored, as for any program
        // started with nohup or in the background of a script; but SIGCHLD
        // ignored would have the children reaped unseen.
        if (sigismember(&wanted, signal_number) != 1 ||
            sigaction(signal_number, nullptr, &inherited) != 0 ||
            (inherited.sa_handler == SIG_IGN && signal_number != SIGCHLD)) {
            continue;
        }
        sigaddset(&caught_set, signal_number);
    }
    if (sigprocmask(SIG_BLOCK, &caught_set, &open_mask) != 0) {
        return false;
    }
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (sigismember(&caught_set, signal_number) == 1) {
            sigaction(signal_number, &action, nullptr);
            sigdelset(&open_mask, signal_number);
        }
    }
    return true;
}

const sigset_t& fleet_signal_set() {
    return caught_set;
}

int fleet_wait(pollfd* fds, nfds_t count, int timeout_ms) {
    timespec limit{};
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000;
    const int ready = ppoll(fds, count, timeout_ms < 0 ? nullptr : &limit, &open_mask);
    const int error = errno;
    // A ppoll that finds a descriptor ready returns with its mask back in
    // place and a signal that came meanwhile still pending, its handler not
    // run: taken here, it is seen in the same step as the bytes that came
    // after it.
    const timespec now{};
    for (int signal_number = sigtimedwait(&caught_set, nullptr, &now); signal_number > 0;
         signal_number = sigtimedwait(&caught_set, nullptr, &now)) {
        caught[signal_number] = 1;
    }
    errno = error;
    return ready;
}

int take_fleet_signal() {
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (caught[signal_number] != 0 && signal_number != SIGCHLD) {
            caught[signal_number] = 0;
            return signal_number;
        }
    }
    caught[SIGCHLD] = 0;
    return 0;
}

bool fleet_signal_waiting() {
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        if (caught[signal_number] != 0) {
            return true;
        }
    }
    return false;
}

bool asks_to_stop(int signal_number) {
    return signal_number == SIGINT || signal_number == SIGTERM || signal_number == SIGHUP ||
           signal_number == SIGQUIT;
}
