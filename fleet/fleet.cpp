// The road of a fleet: every run goes up to its question; once each has asked
// or ended, the operator decides once for all; then the rollout's rules tell
// the waiting runs "y" (the canaries first, within the cap) or hold them
// back, until every run has ended; then the summary.
#include "fleet.h"

#include "descriptors.h"
#include "fleet_io.h"
#include "fleet_logs.h"
#include "fleet_runs.h"
#include "fleet_signals.h"
#include "report.h"
#include "rollout.h"
#include "screen.h"
#include "texts/messages.h"
#include "texts/shown_name.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int usage_status = 2;

std::string shown(const std::string& name) {
    return shown_name(name.c_str());
}

// romup's texts end their lines in CR LF; the fleet's screen in LF alone.
std::string with_newlines(const std::string& text) {
    std::string lines;
    for (char c : text) {
        if (c != '\r') {
            lines += c;
        }
    }
    return lines;
}

bool all_asked_or_ended(const std::vector<port_run>& runs) {
    for (const port_run& run : runs) {
        if (!run.ended && !run.seen.asked && !run.told_no) {
            return false;
        }
    }
    return true;
}

// Every run not yet answered is told "n".
void decline_all(std::vector<port_run>& runs) {
    for (port_run& run : runs) {
        answer_run(run, false, "");
    }
}

void say_declined(int signal_number) {
    screen_break();
    screen_write(std::string("\nromup-fleet: ") + strsignal(signal_number) +
                 ": every run is told no; no Flash is erased\n");
}

// Set once a signal has declined every run.
bool stopped = false;

// Takes the signals caught: before the answer one that asks the fleet to
// stop declines every run; after a "y" every one is ignored, and said so
// once.
void take_signals(std::vector<port_run>& runs, bool said_yes, bool& told_ignored) {
    for (int signal_number = take_fleet_signal(); signal_number != 0;
         signal_number = take_fleet_signal()) {
        if (said_yes) {
            if (!told_ignored && signal_number != SIGPIPE && signal_number != SIGXFSZ) {
                told_ignored = true;
                screen_break();
                screen_write(std::string("\nromup-fleet: signal ignored (") +
                             strsignal(signal_number) +
                             "): the modems are being reprogrammed; every run ends by itself\n");
            }
        } else if (asks_to_stop(signal_number) && !stopped) {
            stopped = true;
            say_declined(signal_number);
            decline_all(runs);
        }
    }
}

// Serves the runs until done says so, or every run has ended; the signals
// as take_signals says. False when the wait failed (the runs then rescued).
template <typename Done> bool serve_until(std::vector<port_run>& runs, bool said_yes, Done done) {
    bool told_ignored = false;
    std::vector<pollfd> none;
    while (!done() && !all_ended(runs)) {
        if (!serve_step(runs, none, screen_is_terminal() ? 1000 : -1)) {
            std::fprintf(stderr,
                         "romup-fleet: cannot wait on the runs (%s): every run not told y is told "
                         "no; waiting for the others to end\n",
                         std::strerror(errno));
            end_without_waiting(runs);
            return false;
        }
        take_signals(runs, said_yes, told_ignored);
        screen_update(runs, notes_of(runs), false);
    }
    return true;
}

enum class answer { yes, no, stopped };

// The operator's answer, up to the end of its line: yes when it begins with
// y or Y; the end of input says no. A signal that asks the fleet to stop,
// meanwhile, says no as well.
answer operator_answer(std::vector<port_run>& runs) {
    std::string line;
    for (;;) {
        std::vector<pollfd> input = {{STDIN_FILENO, POLLIN, 0}};
        if (!serve_step(runs, input, -1)) {
            end_without_waiting(runs);
            return answer::no;
        }
        for (int signal_number = take_fleet_signal(); signal_number != 0;
             signal_number = take_fleet_signal()) {
            if (asks_to_stop(signal_number)) {
                say_declined(signal_number);
                return answer::stopped;
            }
        }
        if (input[0].revents == 0) {
            continue;
        }
        char c = 0;
        const ssize_t count = read_some(STDIN_FILENO, &c, 1);
        if (count < 0 && errno == EAGAIN) {
            continue;
        }
        if (count <= 0) {
            screen_write("\n");
            break;
        }
        if (c == '\n') {
            break;
        }
        line += c;
    }
    return !line.empty() && (line[0] == 'y' || line[0] == 'Y') ? answer::yes : answer::no;
}

// What the operator reads before deciding: the firmware's warnings, the runs
// that are ready with their loader's reply (and romup's warning about their
// port), those that ended with their message, and how the rollout goes on.
std::string decision_text(const std::vector<port_run>& runs, int ready) {
    std::string text = "\n" + firmware_warning_lines();
    std::string waiting;
    std::string ended;
    for (const port_run& run : runs) {
        if (run.ended) {
            ended += "  " + shown(run.name) + ": " + run.result + "\n";
            continue;
        }
        waiting += "  " + shown(run.name) + ": " + shown(run.seen.loader_reply) + "\n";
        for (const std::string& warning : run.seen.warnings) {
            if (warning.rfind(modem_manager_warning_text.before, 0) == 0) {
                waiting += "    " + warning + "\n";
            }
        }
    }
    if (!waiting.empty()) {
        text += "Ready, with the loader's reply:\n" + waiting;
    }
    if (!ended.empty()) {
        text += "Ended before the question (never erased):\n" + ended;
    }
    const rollout_limits& limits = setup.options.limits;
    if (limits.canary > 0 && limits.canary < ready) {
        std::string canaries;
        int count = 0;
        for (const port_run& run : runs) {
            if (!run.ended && count < limits.canary) {
                canaries += (count++ > 0 ? ", " : "") + shown(run.name);
            }
        }
        text += "Canaries: " + canaries + " go first; the other " +
                std::to_string(ready - limits.canary) +
                " wait at their question until every canary has flashed, and are held back if "
                "one fails.\n";
    }
    if (limits.jobs > 0 && limits.jobs < ready) {
        text += "At most " + std::to_string(limits.jobs) +
                " at once past their y; the others wait at their question for a place, in the "
                "order given.\n";
    }
    if (limits.max_failures > 0) {
        text += "After " + std::to_string(limits.max_failures) +
                (limits.max_failures == 1 ? " failure" : " failures") +
                " past the y, every run not yet told y is held back.\n";
    }
    return text;
}

std::vector<rollout_run> rollout_view(const std::vector<port_run>& runs) {
    std::vector<rollout_run> view;
    for (const port_run& run : runs) {
        rollout_run one;
        one.waiting = run.seen.asked && !run.ended && !run.told_yes && !run.told_no;
        one.told_yes = run.told_yes;
        one.ended = run.ended;
        one.succeeded = run.ended && run_flashed(run.seen, run.status) && !run.seen.reset_missing;
        one.failed = run.ended && !run_flashed(run.seen, run.status);
        one.canary = run.canary;
        view.push_back(one);
    }
    return view;
}

// Tells the waiting runs what the rollout's rules say now.
void apply_rollout(std::vector<port_run>& runs) {
    const std::vector<rollout_run> view = rollout_view(runs);
    const std::vector<rollout_answer> answers = rollout_answers(view, setup.options.limits);
    for (std::size_t index = 0; index < runs.size(); ++index) {
        switch (answers[index].verdict) {
        case rollout_verdict::wait:
            break;
        case rollout_verdict::yes:
            answer_run(runs[index], true, "");
            break;
        case rollout_verdict::canary_failed: {
            const port_run& canary = runs[answers[index].canary];
            answer_run(runs[index], false,
                       "held back: canary " + shown(canary.name) + " failed (" + canary.result +
                           ")");
            break;
        }
        case rollout_verdict::failures_reached:
            answer_run(runs[index], false,
                       "held back after " + std::to_string(setup.options.limits.max_failures) +
                           (setup.options.limits.max_failures == 1 ? " failure" : " failures"));
            break;
        }
    }
}

} // namespace

std::string firmware_warning_lines() {
    return with_newlines(firmware_warnings(setup.firmware));
}

bool operator_says_yes(std::vector<port_run>& runs) {
    return operator_answer(runs) == answer::yes;
}

int prepare_runs(const fleet_options& options, std::size_t at_once) {
    setup.options = options;
    const std::string romup = romup_beside_me();
    if (access(romup.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "romup-fleet: no romup to run beside romup-fleet: %s\n",
                     shown(romup).c_str());
        return 1;
    }
    const std::size_t needed = descriptors_needed(at_once, !options.logs_dir.empty());
    std::size_t limit = 0;
    if (!reserve_descriptors(needed, limit)) {
        std::fprintf(stderr,
                     "romup-fleet: %zu ports need %zu open files, but this process may open at "
                     "most %zu (ulimit -n): name fewer ports, or raise the limit\n",
                     at_once, needed, limit);
        return usage_status;
    }
    std::string error;
    if ((!options.report_path.empty() &&
         !open_report(options.report_path, !options.watch_dir.empty(), error)) ||
        (!options.logs_dir.empty() && !open_logs_folder(options.logs_dir, error))) {
        std::fprintf(stderr, "romup-fleet: %s\n", error.c_str());
        return usage_status;
    }
    const std::string loader =
        options.reload ? "" : (options.loader.empty() ? default_loader_text : options.loader);
    if (!take_images(options.firmware, loader, setup.firmware, setup.loader, error)) {
        std::fprintf(stderr, "romup-fleet: %s\n", shown(error).c_str());
        return usage_status;
    }
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    setup.host = host;
    if (!catch_fleet_signals()) {
        std::perror("romup-fleet: the signal mask");
        remove_images();
        return 1;
    }
    return 0;
}

int run_fleet() {
    std::vector<port_run> runs;
    for (const std::string& port : setup.options.ports) {
        runs.push_back(make_run(port, port));
    }
    if (!setup.options.logs_dir.empty()) {
        for (port_run& run : runs) {
            std::string error;
            if (!open_log(run, log_base(run.port, ""), error)) {
                std::fprintf(stderr, "romup-fleet: %s\n", error.c_str());
                remove_images();
                return usage_status;
            }
        }
    }
    screen_start();
    for (port_run& run : runs) {
        start_run(run);
    }

    if (!serve_until(runs, false, [&] { return all_asked_or_ended(runs); })) {
        return finish_runs(runs);
    }
    screen_update(runs, notes_of(runs), true);
    bool said_yes = false;
    int ready = 0;
    for (const port_run& run : runs) {
        ready += run.ended || run.told_no ? 0 : 1;
    }
    if (!stopped && ready > 0) {
        screen_break();
        screen_write(decision_text(runs, ready));
        const std::string question =
            "Reprogram " + std::to_string(ready) + (ready == 1 ? " modem" : " modems") + " [Y/N]? ";
        answer decision = answer::yes;
        if (setup.options.yes) {
            screen_write(question + "y (--yes)\n");
        } else {
            screen_write(question);
            decision = operator_answer(runs);
        }
        // From a "y" on, a modem may be half written: nothing ends the fleet.
        said_yes = decision == answer::yes;
        screen_write("\n");
        if (said_yes) {
            std::vector<rollout_run> view = rollout_view(runs);
            choose_canaries(view, setup.options.limits.canary);
            for (std::size_t index = 0; index < runs.size(); ++index) {
                runs[index].canary = view[index].canary;
            }
        } else {
            decline_all(runs);
        }
    }
    serve_until(runs, said_yes, [&] {
        if (said_yes) {
            apply_rollout(runs);
        }
        return false;
    });
    return finish_runs(runs);
}

int finish_runs(std::vector<port_run>& runs) {
    screen_update(runs, notes_of(runs), true);
    screen_break();
    std::string text = summary_text(runs);
    std::vector<std::string> incomplete;
    bool all_flashed = true;
    for (auto run = runs.begin(); run != runs.end(); ++run) {
        all_flashed = all_flashed && run_flashed(run->seen, run->status);
        // At a station a slot's later run is another modem's: only the last
        // run of each port is the modem still there.
        const bool last_of_port = std::none_of(
            run + 1, runs.end(), [&](const port_run& later) { return later.port == run->port; });
        if (run->reload && last_of_port) {
            incomplete.push_back(run->port);
        }
    }
    if (!incomplete.empty()) {
        text += "\nThe Flash is incomplete on the ports above that failed after the erase.\n"
                "Keep those modems powered and re-load them at once:\n  " +
                fleet_reload_command(incomplete, false) + "\n";
    }
    bool failed = false;
    for (const port_run& run : runs) {
        if (run.log_errors > 0) {
            text += "romup-fleet: " + std::to_string(run.log_errors) + " writes to the log " +
                    shown(run.log_path) + " failed (" + std::strerror(run.log_error) +
                    "): it is incomplete\n";
            failed = true;
        }
    }
    const std::string after = file_sha256(setup.firmware.copy);
    if (after != setup.firmware.sha256) {
        text += "romup-fleet: the firmware every run was given no longer hashes as it did before "
                "the first run (SHA-256 " +
                setup.firmware.sha256 + ", now " + (after.empty() ? "unreadable" : after) + ")\n";
        write_report_line(firmware_changed_line(setup.firmware, after, setup.host));
        failed = true;
    }
    if (report_failures() > 0) {
        text += "romup-fleet: " + std::to_string(report_failures()) +
                " lines could not be written to the report " + shown(setup.options.report_path) +
                "\n";
        failed = true;
    }
    screen_write(text);
    remove_images();
    return all_flashed && !failed ? 0 : 1;
}
