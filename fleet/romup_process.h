// One romup as a process of its own: started with pipes for its standard
// input and output (its standard error joins the output), in a process group
// of its own, so that a key pressed on the fleet's terminal reaches the fleet
// alone and one run can never stop another.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct romup_child {
    pid_t pid = -1;  // -1 once reaped
    int input = -1;  // the write end of its standard input; -1 once answered
    int output = -1; // the read end of its standard output, non-blocking; -1 at its end
};

// The romup in the folder of the running program, so that a build tree and
// an installed package each run their own.
std::string romup_beside_me();

// Starts words[0] with words as its argument vector, with posix_spawn: the
// fleet's caught signals at their default action and none blocked from its
// first instruction, so that no signal meant for the fleet can run the
// fleet's handler in it. 0, or the error number when it could not start.
int start_romup(const std::vector<std::string>& words, romup_child& child);

// Writes the answer and closes the child's input. False, with errno, when
// the answer could not be written (a run that has ended).
bool answer_romup(romup_child& child, const char* answer);

// Whether the child has ended (with wait, once it has): then its exit status
// is in status, or -1 with the signal that ended it in signal_number (0 when
// its end cannot be known).
bool reap_romup(romup_child& child, int& status, int& signal_number, bool wait);

// Sends the signal to the child's process group, while it has not been reaped.
void signal_romup(const romup_child& child, int signal_number);
