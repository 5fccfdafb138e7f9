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
