// The rollout's rules: once the operator has said yes, which of the runs that
// wait at their question are told "y" now, which wait, and which are held back
// with "n". A rule over the runs' states alone, in the order the ports were
// given, so that each moment of a rollout is one row of a table.
#pragma once

#include <cstddef>
#include <vector>

struct rollout_limits {
    int canary = 0;       // this many go first; the rest once every one of them has flashed
    int jobs = 0;         // at most this many between their "y" and their end; 0: no cap
    int max_failures = 0; // once this many have failed after their "y", no more "y"; 0: none
};

struct rollout_run {
    bool waiting = false;   // at its question, not yet answered
    bool told_yes = false;  // "y" was written to it (also once it has ended)
    bool ended = false;     // its romup has ended
    bool succeeded = false; // ended flashed, and the modem answered "OK" after
    bool failed = false;    // ended with another status than 0
    bool canary = false;
};

enum class rollout_verdict { wait, yes, canary_failed, failures_reached };

struct rollout_answer {
    rollout_verdict verdict = rollout_verdict::wait;
    std::size_t canary = 0; // canary_failed: the first canary that did not succeed
};

// Makes canaries of the first count runs, in order, that wait at their
// question.
void choose_canaries(std::vector<rollout_run>& runs, int count);

// The answer for each run now: wait for every run that is not waiting. A
// canary that ended without succeeding (flashed without "OK" included) holds
// back every waiting run; so do max_failures runs failed after their "y".
std::vector<rollout_answer> rollout_answers(const std::vector<rollout_run>& runs,
                                            const rollout_limits& limits);
