#include "rollout.h"

void choose_canaries(std::vector<rollout_run>& runs, int count) {
    for (rollout_run& run : runs) {
        if (count > 0 && run.waiting) {
            run.canary = true;
            --count;
        }
    }
}

std::vector<rollout_answer> rollout_answers(const std::vector<rollout_run>& runs,
                                            const rollout_limits& limits) {
    std::vector<rollout_answer> answers(runs.size());
    int failures = 0;
    int in_flight = 0;
    bool canaries_done = true;
    bool canary_failed = false;
    std::size_t failed_canary = 0;
    for (std::size_t index = 0; index < runs.size(); ++index) {
        const rollout_run& run = runs[index];
        failures += run.told_yes && run.ended && run.failed ? 1 : 0;
        in_flight += run.told_yes && !run.ended ? 1 : 0;
        if (run.canary && !(run.ended && run.succeeded)) {
            canaries_done = false;
            if (run.ended && !canary_failed) {
                canary_failed = true;
                failed_canary = index;
            }
        }
    }
    const bool stopped = limits.max_failures > 0 && failures >= limits.max_failures;
    int room = limits.jobs > 0 ? limits.jobs - in_flight : static_cast<int>(runs.size());
    for (std::size_t index = 0; index < runs.size(); ++index) {
        const rollout_run& run = runs[index];
        rollout_answer& answer = answers[index];
        if (!run.waiting) {
            continue;
        }
        if (canary_failed) {
            answer.verdict = rollout_verdict::canary_failed;
            answer.canary = failed_canary;
        } else if (stopped) {
            answer.verdict = rollout_verdict::failures_reached;
        } else if ((canaries_done || run.canary) && room > 0) {
            answer.verdict = rollout_verdict::yes;
            --room;
        }
    }
    return answers;
}
