// romup-fleet: reprograms several modems at once, one `romup -w` per port,
// each in a process of its own. Every run goes up to its question; once each
// has asked or ended, the operator decides once for all; then the runs go on
// side by side and the fleet sums them up.
//
// The road of a fleet: options; the runs started; their output read until
// each has asked or ended; the one decision; their output read until each has
// ended; the summary, the re-load command, the report; the exit status.
#include "fleet_files.h"
#include "fleet_options.h"
#include "fleet_signals.h"
#include "port_run.h"
#include "romup_process.h"
#include "screen.h"
#include "shell_quote.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int usage_status = 2;

std::vector<std::string> romup_command(const fleet_options& options, const std::string& port) {
    std::vector<std::string> words = {romup_beside_me(), "-w"};
    if (options.reload) {
        words.emplace_back("-c");
    }
    words.push_back("-p" + port);
    words.push_back("-f" + options.firmware);
    if (!options.speed.empty()) {
        words.push_back("-s" + options.speed);
    }
    if (!options.loader.empty()) {
        words.push_back("-l" + options.loader);
    }
    return words;
}

// The fleet's command that re-loads ports at once: re-load mode, the same
// firmware, the rate the lines were set to, and no --yes, so that pasted it
// asks again.
std::string reload_command(const fleet_options& options, const std::vector<std::string>& ports) {
    std::vector<std::string> words = {"romup-fleet", "-c", "-f" + options.firmware,
                                      "-s" + std::to_string(listed_rate(options.speed))};
    for (const std::string& port : ports) {
        // A port that looks like an option would be read as one.
        words.push_back(port[0] == '-' ? "./" + port : port);
    }
    return shell_command(words);
}

double seconds_since(const port_run& run) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
}

// Reads what the run has printed; at the end of its output, reaps it.
void read_run(port_run& run) {
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(run.child.output, buffer, sizeof buffer);
        if (count > 0) {
            run.out.append(buffer, static_cast<std::string::size_type>(count));
            log_bytes(run, buffer, static_cast<std::string::size_type>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno == EAGAIN) {
            break;
        }
        // The end of its output: romup has ended (it starts nothing that
        // could hold the pipe open).
        close(run.child.output);
        run.child.output = -1;
        if (run.child.input != -1) {
            close(run.child.input);
            run.child.input = -1;
        }
        run.status = reap_romup(run.child);
        run.ended = true;
        break;
    }
    run.seen = read_output(run.out);
    run.seconds = seconds_since(run);
    if (run.ended) {
        run.result = run_result(run.seen, run.status);
        run.reload = needs_reload(run.seen, run.status);
    }
}

bool all_ended(const std::vector<port_run>& runs) {
    for (const port_run& run : runs) {
        if (!run.ended) {
            return false;
        }
    }
    return true;
}

bool all_asked_or_ended(const std::vector<port_run>& runs) {
    for (const port_run& run : runs) {
        if (!run.ended && !run.seen.asked) {
            return false;
        }
    }
    return true;
}

enum class answer { yes, no, signal };

// The operator's answer, up to the end of its line: yes when it begins with
// y or Y; the end of input says no. A signal caught meanwhile (Ctrl-C, kill,
// a hang-up) stops the wait: it says no as well, and is told apart.
answer operator_answer() {
    std::string line;
    for (;;) {
        pollfd fds[] = {{fleet_signal_fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return answer::no;
        }
        if (fds[0].revents != 0) {
            return answer::signal;
        }
        char c = 0;
        const ssize_t count = read(STDIN_FILENO, &c, 1);
        if (count < 0 && errno == EINTR) {
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

void answer_all(std::vector<port_run>& runs, const std::string& answer) {
    for (port_run& run : runs) {
        answer_romup(run.child, answer);
    }
}

enum class wait_for { questions, ends };

// The poll loop over every run's output and the caught signals, until every
// run has asked or ended (questions) or ended (ends). A signal before the
// answer declines every run; after a "y" it is ignored, and said so once.
// Returns true when a signal has declined the runs.
bool serve_runs(std::vector<port_run>& runs, wait_for until, bool& said_yes) {
    bool declined = false;
    bool told_ignored = false;
    for (;;) {
        const bool done =
            until == wait_for::questions && !declined ? all_asked_or_ended(runs) : all_ended(runs);
        if (done) {
            screen_update(runs, true);
            return declined;
        }
        std::vector<pollfd> fds = {{fleet_signal_fd(), POLLIN, 0}};
        for (const port_run& run : runs) {
            fds.push_back({run.child.output, POLLIN, 0});
        }
        // On a terminal the seconds move on even when nothing is printed.
        const int timeout_ms = screen_is_terminal() ? 1000 : -1;
        if (poll(fds.data(), fds.size(), timeout_ms) < 0 && errno != EINTR) {
            std::perror("romup-fleet: poll");
            return declined;
        }
        for (std::vector<port_run>::size_type index = 0; index < runs.size(); ++index) {
            if (fds[index + 1].revents != 0) {
                read_run(runs[index]);
            } else if (!runs[index].ended) {
                runs[index].seconds = seconds_since(runs[index]);
            }
        }
        for (int signal_number = take_fleet_signal(); signal_number != 0;
             signal_number = take_fleet_signal()) {
            if (said_yes) {
                if (!told_ignored) {
                    told_ignored = true;
                    screen_break();
                    screen_write(std::string("\nromup-fleet: signal ignored (") +
                                 strsignal(signal_number) +
                                 "): the modems are being reprogrammed; every run ends by "
                                 "itself\n");
                }
            } else if (signal_number != SIGPIPE && !declined) {
                declined = true;
                screen_break();
                screen_write(std::string("\nromup-fleet: ") + strsignal(signal_number) +
                             ": every run is told no; no Flash is erased\n");
                answer_all(runs, "n\n");
            }
        }
        screen_update(runs, false);
    }
}

} // namespace

int main(int argc, char** argv) {
    fleet_options options;
    std::string error;
    if (!parse_fleet_options(argc, argv, options, error)) {
        std::fprintf(stderr, "romup-fleet: %s\n%s", error.c_str(), fleet_usage);
        return usage_status;
    }
    const std::string romup = romup_beside_me();
    if (access(romup.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "romup-fleet: no romup to run beside romup-fleet: %s\n",
                     romup.c_str());
        return 1;
    }
    if (!catch_fleet_signals()) {
        std::perror("romup-fleet: pipe");
        return 1;
    }
    std::vector<port_run> runs;
    for (const std::string& port : options.ports) {
        port_run run;
        run.port = port;
        run.command = romup_command(options, port);
        runs.push_back(run);
    }
    if (!options.logs_dir.empty() && !open_logs(options.logs_dir, runs, error)) {
        std::fprintf(stderr, "romup-fleet: %s\n", error.c_str());
        return 1;
    }

    screen_start();
    for (port_run& run : runs) {
        run.started = std::chrono::steady_clock::now();
        if (!start_romup(run.command, run.child)) {
            run.ended = true;
            run.result = std::string("cannot start romup: ") + std::strerror(errno);
        }
    }

    bool said_yes = false;
    const bool declined = serve_runs(runs, wait_for::questions, said_yes);
    if (!declined) {
        screen_break();
        int ready = 0;
        for (const port_run& run : runs) {
            ready += run.ended ? 0 : 1;
        }
        if (ready > 0) {
            screen_decision(runs);
            const std::string question = "Reprogram " + std::to_string(ready) +
                                         (ready == 1 ? " modem" : " modems") + " [Y/N]? ";
            answer decision = answer::yes;
            if (options.yes) {
                screen_write(question + "y (--yes)\n");
            } else {
                screen_write(question);
                decision = operator_answer();
            }
            // From a "y" on, a modem may be half written: serve_runs ignores
            // every signal that would end the fleet.
            said_yes = decision == answer::yes;
            if (decision == answer::signal) {
                const int signal_number = take_fleet_signal();
                screen_write(std::string("\nromup-fleet: ") + strsignal(signal_number) +
                             ": every run is told no; no Flash is erased\n");
            }
            screen_write("\n");
            answer_all(runs, said_yes ? "y\n" : "n\n");
        }
        serve_runs(runs, wait_for::ends, said_yes);
    }
    screen_break();

    std::vector<std::string> failed_ports;
    std::vector<std::string> reload_commands;
    for (const port_run& run : runs) {
        reload_commands.push_back(run.reload ? reload_command(options, {run.port}) : "");
        if (run.reload) {
            failed_ports.push_back(run.port);
        }
    }
    const std::string reload_all =
        failed_ports.empty() ? "" : reload_command(options, failed_ports);
    screen_summary(runs, reload_all);
    bool report_failed = false;
    if (!options.report_path.empty() && !write_report(options.report_path, runs, reload_commands)) {
        std::fprintf(stderr, "romup-fleet: cannot write the report %s\n",
                     options.report_path.c_str());
        report_failed = true;
    }
    for (const port_run& run : runs) {
        if (run.status != 0) {
            return 1;
        }
    }
    return report_failed ? 1 : 0;
}
