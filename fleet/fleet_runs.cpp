#include "fleet_runs.h"

#include "fleet_io.h"
#include "fleet_logs.h"
#include "fleet_signals.h"
#include "report.h"
#include "screen.h"
#include "texts/messages.h"
#include "texts/shell_word.h"
#include "texts/shown_name.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

fleet_setup setup;

namespace {

// A run told "n" waits at most this long before it is continued (should it
// be stopped), and as long again before it is killed: at its question romup
// holds no Flash half written, and a "n" ends it within one reply's time.
constexpr auto continue_after_no = std::chrono::seconds(10);
constexpr auto kill_after_no = std::chrono::seconds(15);

int failed_report_lines = 0;

// romup prints its progress a percent at a time: a hundred modems would wake
// the fleet thousands of times a second, once for each. Steps that follow
// one another closer than this wait out the rest first, so that each wake
// takes what many runs printed meanwhile; a pipe holds far more than a run
// prints in that time, and nothing waits on the fleet that long matters.
constexpr auto least_step = std::chrono::milliseconds(10);
std::chrono::steady_clock::time_point last_step;

constexpr int reap_again_ms = 10;

double seconds_since(const port_run& run) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - run.started).count();
}

// romup's messages name the private copies; the operator knows the images by
// the names given.
std::string with_given_names(std::string text) {
    for (const fleet_image* image : {&setup.firmware, &setup.loader}) {
        if (image->copy.empty()) {
            continue;
        }
        const std::string copy = "[" + shown_name(image->copy.c_str()) + "]";
        const std::string given = "[" + shown_name(image->given.c_str()) + "]";
        for (auto at = text.find(copy); at != std::string::npos;
             at = text.find(copy, at + given.size())) {
            text.replace(at, copy.size(), given);
        }
    }
    return text;
}

void read_seen(port_run& run) {
    run.seen = read_output(run.out, shown_name(setup.firmware.copy.c_str()));
}

void end_run(port_run& run) {
    run.ended = true;
    run.ended_utc = std::chrono::system_clock::now();
    run.seconds = seconds_since(run);
    if (run.child.input != -1) {
        close(run.child.input);
        run.child.input = -1;
    }
    read_seen(run);
    if (!run.start_error.empty()) {
        run.result = run.start_error;
    } else if (!run.held_back.empty()) {
        run.result = run.held_back;
    } else {
        run.result = with_given_names(run_result(run.seen, run.status, run.signal_number));
    }
    if (run.after_no == 2) {
        run.result += " (romup had not ended 15 s after its no and was killed; the Flash was not "
                      "touched)";
    }
    run.reload = run.told_yes && needs_reload(run.seen, run.status);
    const std::string line = report_line(run, setup.firmware, setup.host,
                                         run.reload ? fleet_reload_command({run.port}, true) : "");
    if (!write_report_line(line)) {
        ++failed_report_lines;
    }
    run.reported = true;
    close_log(run);
}

// Reads what the run has printed up to now; at the end of its output, the
// run's romup has ended or is ending (it starts nothing that could hold the
// pipe open).
void drain_output(port_run& run) {
    char buffer[4096];
    for (;;) {
        const ssize_t count = read_some(run.child.output, buffer, sizeof buffer);
        if (count > 0) {
            run.out.append(buffer, static_cast<std::string::size_type>(count));
            log_bytes(run, buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EAGAIN) {
            break;
        }
        close(run.child.output);
        run.child.output = -1;
        run.output_closed = true;
        break;
    }
    read_seen(run);
}

// The 10 s rule of answer_run; the milliseconds until its next step for this
// run, INT_MAX for none.
int keep_after_no(port_run& run, std::chrono::steady_clock::time_point now) {
    if (!run.told_no || run.ended || run.after_no == 2) {
        return INT_MAX;
    }
    const auto waited = now - run.told_no_at;
    if (run.after_no == 0 && waited >= continue_after_no) {
        signal_romup(run.child, SIGCONT);
        run.after_no = 1;
    }
    if (run.after_no == 1 && waited >= kill_after_no) {
        signal_romup(run.child, SIGKILL);
        run.after_no = 2;
        return INT_MAX;
    }
    const auto next = run.after_no == 0 ? continue_after_no : kill_after_no;
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(next - waited).count() + 1);
}

} // namespace

port_run make_run(const std::string& port, const std::string& name) {
    port_run run;
    run.port = port;
    run.name = name;
    run.command = {romup_beside_me(), "-w"};
    if (setup.options.reload) {
        run.command.emplace_back("-c");
    }
    run.command.push_back("-p" + port);
    run.command.push_back("-f" + setup.firmware.copy);
    if (!setup.options.speed.empty()) {
        run.command.push_back("-s" + setup.options.speed);
    }
    if (!setup.loader.copy.empty()) {
        run.command.push_back("-l" + setup.loader.copy);
    }
    run.names = names_of_device(port);
    return run;
}

std::string fleet_reload_command(const std::vector<std::string>& ports, bool utf8) {
    const auto word = [utf8](const std::string& text) {
        return utf8 ? shell_word_utf8(text.c_str()) : shell_word(text.c_str());
    };
    std::string command = "romup-fleet -c -f" +
                          (setup.firmware.from_pipe ? std::string(firmware_placeholder)
                                                    : word(setup.firmware.given)) +
                          " -s" + std::to_string(fleet_rate(setup.options));
    const bool option_like = std::any_of(ports.begin(), ports.end(),
                                         [](const std::string& port) { return port[0] == '-'; });
    if (option_like) {
        command += " --";
    }
    for (const std::string& port : ports) {
        command += " " + word(port);
    }
    return command;
}

std::vector<std::vector<std::string>> notes_of(const std::vector<port_run>& runs) {
    std::vector<std::vector<std::string>> notes;
    for (const port_run& run : runs) {
        notes.push_back(run_notes(run, run.reload ? fleet_reload_command({run.port}, false) : ""));
    }
    return notes;
}

void start_run(port_run& run) {
    run.started = std::chrono::steady_clock::now();
    // A station has named the run's log after the start time it set.
    if (run.started_utc == std::chrono::system_clock::time_point()) {
        run.started_utc = std::chrono::system_clock::now();
    }
    const int error = start_romup(run.command, run.child);
    if (error != 0) {
        run.start_error = std::string("cannot start romup: ") + std::strerror(error);
        end_run(run);
    }
}

void answer_run(port_run& run, bool yes, const std::string& held_back) {
    if (run.told_yes || run.told_no || run.ended) {
        return;
    }
    answer_romup(run.child, yes ? "y\n" : "n\n");
    if (yes) {
        run.told_yes = true;
        return;
    }
    run.told_no = true;
    run.told_no_at = std::chrono::steady_clock::now();
    run.held_back = held_back;
}

bool serve_step(std::vector<port_run>& runs, std::vector<pollfd>& extra, int timeout_ms) {
    const auto since = std::chrono::steady_clock::now() - last_step;
    if (since < least_step) {
        fleet_wait(
            nullptr, 0,
            static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(least_step - since).count()) +
                1);
    }
    std::vector<pollfd> fds;
    std::vector<port_run*> readers;
    const auto now = std::chrono::steady_clock::now();
    for (port_run& run : runs) {
        timeout_ms = std::min(timeout_ms < 0 ? INT_MAX : timeout_ms, keep_after_no(run, now));
        // romup's output ends as it exits, a moment before it can be reaped;
        // the SIGCHLD that says it can may come, and be taken, in a wait
        // that had nothing else to wake for: look again soon rather than
        // wait for it.
        if (run.output_closed && !run.ended) {
            timeout_ms = std::min(timeout_ms, reap_again_ms);
        }
        if (run.child.output != -1) {
            fds.push_back({run.child.output, POLLIN, 0});
            readers.push_back(&run);
        }
    }
    fds.insert(fds.end(), extra.begin(), extra.end());
    // A signal taken in the wait before (an interrupt, a child's end) has
    // already come: it would not wake this one.
    if (fleet_signal_waiting()) {
        timeout_ms = 0;
    }
    const int ready = fleet_wait(fds.data(), fds.size(), timeout_ms == INT_MAX ? -1 : timeout_ms);
    last_step = std::chrono::steady_clock::now();
    if (ready < 0 && errno != EINTR) {
        return false;
    }
    for (std::size_t index = 0; index < readers.size(); ++index) {
        if (fds[index].revents != 0) {
            drain_output(*readers[index]);
        }
    }
    for (std::size_t index = 0; index < extra.size(); ++index) {
        extra[index].revents = fds[readers.size() + index].revents;
    }
    for (port_run& run : runs) {
        if (run.ended) {
            continue;
        }
        if (run.output_closed && reap_romup(run.child, run.status, run.signal_number, false)) {
            end_run(run);
        } else {
            run.seconds = seconds_since(run);
        }
    }
    return true;
}

void end_without_waiting(std::vector<port_run>& runs) {
    for (port_run& run : runs) {
        answer_run(run, false, "");
        if (!run.told_yes) {
            signal_romup(run.child, SIGKILL);
        }
    }
    for (port_run& run : runs) {
        if (run.ended) {
            continue;
        }
        if (run.child.output != -1) {
            // Blocking now: the drain reads on to the end of romup's output.
            fcntl(run.child.output, F_SETFL, fcntl(run.child.output, F_GETFL) & ~O_NONBLOCK);
            drain_output(run);
        }
        reap_romup(run.child, run.status, run.signal_number, true);
        end_run(run);
    }
}

bool all_ended(const std::vector<port_run>& runs) {
    return std::all_of(runs.begin(), runs.end(), [](const port_run& run) { return run.ended; });
}

int report_failures() {
    return failed_report_lines;
}
