#include "line/held_signals.h"

#include <csignal>

namespace {

// SIGXFSZ ignored, a standard output past its file-size limit fails its
// writes with EFBIG instead: the messages are lost, the run goes on.
// SIGXCPU: the soft processor-time limit is already raised to the hard one.
constexpr int named_signals[] = {
    SIGINT,    SIGTERM, SIGHUP,    SIGPIPE, SIGQUIT, SIGUSR1,
    SIGUSR2,   SIGALRM, SIGVTALRM, SIGPROF, SIGXFSZ, SIGXCPU,
#if defined(SIGPOLL)
    SIGPOLL,
#elif defined(SIGIO)
    SIGIO,
#endif
#if defined(SIGSTKFLT)
    SIGSTKFLT,
#endif
#if defined(SIGPWR)
    SIGPWR,
#endif
#if defined(SIGLOST) && (!defined(SIGPWR) || SIGLOST != SIGPWR)
    SIGLOST,
#endif
};

void ignore(int signal_number) {
    std::signal(signal_number, SIG_IGN);
}

void restore_default(int signal_number) {
    std::signal(signal_number, SIG_DFL);
}

} // namespace

void for_each_held_signal(void (*visit)(int)) {
    for (int signal_number : named_signals) {
        visit(signal_number);
    }
#if defined(SIGRTMIN) && defined(SIGRTMAX)
    // Not constants on Linux: the C library keeps the lowest ones for itself.
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        visit(signal_number);
    }
#endif
}

void hold_off_signals() {
    for_each_held_signal(ignore);
}

void release_signals() {
    for_each_held_signal(restore_default);
}
