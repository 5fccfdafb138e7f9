// The signals held off while the port is open: every one whose default
// action ends the process and that can be ignored, but for the faults of
// romup's own (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS, SIGTRAP),
// which must still end it. A run cut short leaves the modem with part of a
// Flash, which does not start: neither the quit key, a closed terminal, a
// progress request meant for dd (SIGUSR1), a stray timer nor a file-size
// limit on a log may do that.
#pragma once

// Sets each held signal's action to ignore.
void hold_off_signals();

// Sets each held signal's action back to the default, whatever it was before
// hold_off_signals.
void release_signals();

// Calls visit with the number of each held signal: SIGINT, SIGTERM, SIGHUP,
// SIGPIPE, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXFSZ,
// SIGXCPU, SIGPOLL (SIGIO), SIGSTKFLT and SIGPWR where the platform has them,
// and SIGRTMIN to SIGRTMAX.
void for_each_held_signal(void (*visit)(int));
