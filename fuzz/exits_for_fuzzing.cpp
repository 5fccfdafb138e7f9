// Stands in for src/run/exits.cpp in the fuzz build (a link seam). The
// exception never crosses a C library frame: only romup's own code calls
// these, and none of it from inside a callback.
#include "exits_for_fuzzing.h"

#include "line/held_signals.h"
#include "line/port.h"
#include "run/exits.h"
#include "run/state.h"

#include <csignal>
#include <cstdio>
#include <pthread.h>

namespace {

// port_close returns every held signal to its default action; libFuzzer's own
// handlers (the SIGALRM of its timer among them) are put back at once, with
// the signals blocked meanwhile so that none finds the default action.
struct sigaction saved_actions[NSIG];

void save_action(int signal_number) {
    sigaction(signal_number, nullptr, &saved_actions[signal_number]);
}

void restore_action(int signal_number) {
    sigaction(signal_number, &saved_actions[signal_number], nullptr);
}

sigset_t held_set;

void add_to_held_set(int signal_number) {
    sigaddset(&held_set, signal_number);
}

sigset_t held_signals_set() {
    sigemptyset(&held_set);
    for_each_held_signal(add_to_held_set);
    return held_set;
}

void close_port_keeping_the_fuzzers_handlers() {
    const sigset_t held = held_signals_set();
    sigset_t before;
    sigprocmask(SIG_BLOCK, &held, &before);
    for_each_held_signal(save_action);
    port_close();
    for_each_held_signal(restore_action);
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

[[noreturn]] void end_with(int status, const char* message) {
    if (port_fd != -1) {
        close_port_keeping_the_fuzzers_handlers();
        // romup would be gone by now; the next input must find the port closed.
        port_fd = -1;
    }
    free_buffers();
    throw run_end{status, message};
}

} // namespace

void end_run(int status) {
    end_with(status, nullptr);
}

void fail(const char* message) {
    if (message != nullptr) {
        std::fputs(message, stdout);
    }
    end_with(1, message);
}

// The re-load hint that romup adds says nothing about the upload itself.
void fail_flash_incomplete(const char* message) {
    std::fputs(message, stdout);
    end_with(1, message);
}

void fail_cannot_open(const char* path) {
    std::printf("Can not open [%s]\r\n", path);
    end_with(1, "Can not open [%s]\r\n");
}

void block_held_signals_for_later_threads() {
    const sigset_t held = held_signals_set();
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
}

void unblock_held_signals_in_this_thread() {
    const sigset_t held = held_signals_set();
    pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
}
