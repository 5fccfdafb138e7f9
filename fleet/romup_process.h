// One romup as a process of its own: started with pipes for its standard
// input and output (its standard error joins the output), in a process group
// of its own, so that a key pressed on the fleet's terminal reaches the fleet
// alone and one run can never stop another.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct romup_child {
    pid_t pid = -1;
    int input = -1;  // the write end of its standard input; -1 once closed
    int output = -1; // the read end of its standard output, non-blocking; -1 at its end
};

// The romup in the folder of the running program, so that a build tree and
// an installed package each run their own.
std::string romup_beside_me();

// Starts words[0] with words as its argument vector. False, with errno, when
// no process could be made; a program that cannot be executed ends with
// status 127 after a line on its output.
bool start_romup(const std::vector<std::string>& words, romup_child& child);

// Writes the answer and closes the child's input; a child that has already
// ended is no failure.
void answer_romup(romup_child& child, const std::string& answer);

// Waits for the child to end; its exit status, or -1 when a signal ended it.
int reap_romup(romup_child& child);
