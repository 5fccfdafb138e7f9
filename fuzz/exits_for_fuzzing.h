// The fuzz build's ends of a run. romup ends the process wherever a run ends;
// here the end is thrown back to the fuzz target instead, after the same
// release of the port and the buffers, so that the next input can follow.
#pragma once

// What end_run, fail and fail_cannot_open throw.
struct run_end {
    int status;
    // The failure's message as fail printed it (a format for fail_cannot_open);
    // null for end_run and for the failures that have none.
    const char* message;
};

// libFuzzer's timer sends SIGALRM to the process, and a thread that does not
// block it takes it: one of libFuzzer's own threads would find the default
// action that the port's close puts in place for a moment, and end the
// process. Called from LLVMFuzzerInitialize, before libFuzzer starts its
// threads, this blocks the held signals so that they are born blocking them;
// each input unblocks them again in the fuzzing thread alone.
void block_held_signals_for_later_threads();
void unblock_held_signals_in_this_thread();
