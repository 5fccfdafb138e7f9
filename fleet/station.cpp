// The road of a station: one decision at the start; then every entry of the
// folder that appears and is a terminal starts one run, a second after it
// appeared; each run's question is answered "y" within the cap, until the
// stop on failure or a signal stops the watch; then the runs past their "y"
// go on to their end, and the summary of the whole session follows.
#include "station.h"

#include "fleet.h"
#include "fleet_io.h"
#include "fleet_logs.h"
#include "fleet_runs.h"
#include "fleet_signals.h"
#include "report.h"
#include "rollout.h"
#include "screen.h"
#include "slots.h"
#include "texts/shown_name.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// udev has made the node and its links, and the adapter has settled, about
// a second after the entry appears.
constexpr std::int64_t settle_ms = 1000;

std::string shown(const std::string& name) {
    return shown_name(name.c_str());
}

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The watches on the folder and on the nearest folder above it that exists,
// where the folder (or a folder on its way) comes and goes.
struct folder_watch {
    std::string dir;
    int fd = -1;
    int on_dir = -1;
    int on_above = -1;
};

std::string parent_of(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    const auto slash = dir.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
}

bool folder_there(const std::string& path) {
    struct stat folder {};
    return stat(path.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode);
}

// The nearest folder above dir that exists.
std::string existing_above(const std::string& dir) {
    std::string above = parent_of(dir);
    while (!folder_there(above) && above != "/" && above != ".") {
        above = parent_of(above);
    }
    return above;
}

// udev makes a link under a hidden name and renames it into place.
bool slot_name(const char* name) {
    return name[0] != '\0' && name[0] != '.';
}

// Watches the folder, if it is there, and takes the entries it holds as
// appearing now; and the nearest folder above it, for the folder's return.
void watch_folder(folder_watch& watch, std::vector<slot>& slots) {
    if (watch.on_above != -1) {
        inotify_rm_watch(watch.fd, watch.on_above);
    }
    watch.on_above =
        inotify_add_watch(watch.fd, existing_above(watch.dir).c_str(),
                          IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (watch.on_dir != -1) {
        return;
    }
    watch.on_dir = inotify_add_watch(watch.fd, watch.dir.c_str(),
                                     IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                         IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (watch.on_dir == -1) {
        return;
    }
    DIR* folder = opendir(watch.dir.c_str());
    if (folder == nullptr) {
        return;
    }
    const std::int64_t now = now_ms();
    while (const dirent* entry = readdir(folder)) {
        if (slot_name(entry->d_name)) {
            slot_appeared(slots, entry->d_name, now);
        }
    }
    closedir(folder);
}

// Reads the watch's events into the slots.
void take_events(folder_watch& watch, std::vector<slot>& slots) {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = read_some(watch.fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        const std::int64_t now = now_ms();
        bool above_changed = false;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const char* name = event->len > 0 ? event->name : "";
            if (event->wd == watch.on_dir) {
                if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0) {
                    all_slots_vanished(slots);
                    inotify_rm_watch(watch.fd, watch.on_dir);
                    watch.on_dir = -1;
                    above_changed = true;
                } else if (slot_name(name) && (event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) {
                    slot_appeared(slots, name, now);
                } else if (slot_name(name) && (event->mask & (IN_DELETE | IN_MOVED_FROM)) != 0) {
                    slot_vanished(slots, name);
                }
            } else if (event->wd == watch.on_above) {
                above_changed = true;
            }
        }
        if (above_changed) {
            watch_folder(watch, slots);
        }
    }
}

// A character device behind the entry: a terminal's node. A file, a folder,
// a FIFO or a link to nothing is none to flash.
bool terminal_entry(const std::string& path) {
    struct stat node {};
    return stat(path.c_str(), &node) == 0 && S_ISCHR(node.st_mode);
}

// The run's start time, for its log's name: 20261209T101112Z.
std::string stamp_of(const port_run& run) {
    std::string stamp = utc_text(run.started_utc);
    std::string compact;
    for (char c : stamp) {
        if (c != '-' && c != ':') {
            compact += c;
        }
    }
    return compact;
}

struct tally {
    int flashed = 0;
    int failed = 0;
    int held_back = 0;
};

tally count(const std::vector<port_run>& finished) {
    tally counts;
    for (const port_run& run : finished) {
        if (run_flashed(run.seen, run.status)) {
            ++counts.flashed;
        } else if (!run.held_back.empty() || (!run.told_yes && run.seen.declined)) {
            ++counts.held_back;
        } else {
            ++counts.failed;
        }
    }
    return counts;
}

std::string tally_text(const tally& counts, double hours, const std::string& why) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f", hours > 0 ? counts.flashed / hours : 0.0);
    return "flashed " + std::to_string(counts.flashed) + ", failed " +
           std::to_string(counts.failed) + ", held back " + std::to_string(counts.held_back) +
           ", " + rate + " modems per hour" + (why.empty() ? "" : "; " + why);
}

} // namespace

std::size_t station_runs_at_once(const fleet_options& options) {
    // Each slot holds one run at a time; a hub has a few dozen at most.
    return options.limits.jobs > 0 ? static_cast<std::size_t>(options.limits.jobs) + 64 : 128;
}

bool station_folder_usable(const std::string& dir) {
    // A folder that is missing is waited for where its parent is there: a
    // name mistyped further up is a mistake to say at once. Under /dev, udev
    // makes and removes the folders of links with the devices in them
    // (/dev/serial itself goes with the last adapter), so there the wait
    // goes up to the nearest folder that is there.
    if (folder_there(parent_of(dir)) || dir.rfind("/dev/", 0) == 0) {
        return true;
    }
    std::fprintf(stderr, "romup-fleet: cannot watch %s: its parent folder %s is missing\n",
                 shown(dir).c_str(), shown(parent_of(dir)).c_str());
    return false;
}

int run_station() {
    folder_watch watch;
    watch.dir = setup.options.watch_dir;
    screen_start();
    std::vector<port_run> runs; // the latest run of each slot that has had one
    std::vector<port_run> finished;
    screen_write("\n" + firmware_warning_lines());
    const std::string question =
        "Reprogram every modem that appears in " + shown(watch.dir) + " [Y/N]? ";
    bool yes = true;
    if (setup.options.yes) {
        screen_write(question + "y (--yes)\n");
    } else {
        screen_write(question);
        yes = operator_says_yes(runs);
    }
    if (!yes) {
        screen_write("\nromup-fleet: no modem is reprogrammed\n");
        remove_images();
        return 1;
    }

    watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::vector<slot> slots;
    if (watch.fd != -1) {
        watch_folder(watch, slots);
    }
    if (watch.fd == -1 || watch.on_above == -1) {
        std::fprintf(stderr, "romup-fleet: cannot watch %s: %s\n", shown(watch.dir).c_str(),
                     std::strerror(errno));
        remove_images();
        return 1;
    }
    screen_write("\nromup-fleet: watching " + shown(watch.dir) +
                 (watch.on_dir == -1 ? " (not there yet)" : "") +
                 "; stop with Ctrl-C or SIGTERM\n");

    const auto started = std::chrono::steady_clock::now();
    const int max_failures = setup.options.limits.max_failures;
    std::string stopped_why;
    bool told_second = false;
    std::string last_tally;
    for (;;) {
        screen_update(runs, notes_of(runs), false);
        // The runs whose romup has ended leave the slot for its next modem.
        for (auto run = runs.begin(); run != runs.end();) {
            if (run->ended) {
                slot_run_ended(slots, run->name);
                finished.push_back(std::move(*run));
                run = runs.erase(run);
            } else {
                ++run;
            }
        }
        int failures = 0;
        for (const port_run& run : finished) {
            failures += run.told_yes && !run_flashed(run.seen, run.status) ? 1 : 0;
        }
        if (stopped_why.empty() && max_failures > 0 && failures >= max_failures) {
            stopped_why = "stopped after " + std::to_string(failures) +
                          (failures == 1 ? " failure" : " failures") + " past the y";
        }
        if (!stopped_why.empty() && runs.empty()) {
            break;
        }
        if (stopped_why.empty()) {
            for (const std::string& name : slots_due(slots, now_ms(), settle_ms)) {
                const std::string port = watch.dir + "/" + name;
                const bool terminal = terminal_entry(port);
                slot_started(slots, name, terminal);
                if (!terminal) {
                    continue;
                }
                runs.push_back(make_run(port, name));
                port_run& run = runs.back();
                run.started_utc = std::chrono::system_clock::now();
                std::string error;
                if (!setup.options.logs_dir.empty() &&
                    !open_log(run, log_base(name, stamp_of(run)), error)) {
                    screen_write("romup-fleet: " + error + "\n");
                }
                start_run(run);
            }
        }
        // The questions: "y" within the cap, until the stop.
        std::vector<rollout_run> view;
        for (const std::vector<port_run>* group : {&finished, &runs}) {
            for (const port_run& run : *group) {
                rollout_run one;
                one.waiting = run.seen.asked && !run.ended && !run.told_yes && !run.told_no;
                one.told_yes = run.told_yes;
                one.ended = run.ended;
                one.succeeded = run_flashed(run.seen, run.status);
                one.failed = run.ended && !one.succeeded;
                view.push_back(one);
            }
        }
        const std::vector<rollout_answer> answers = rollout_answers(view, setup.options.limits);
        for (std::size_t index = 0; index < runs.size(); ++index) {
            const rollout_answer& answer = answers[finished.size() + index];
            // The stop on failure is the station's own (stopped_why): the
            // rules' cap alone is left to them.
            if (!stopped_why.empty() && view[finished.size() + index].waiting) {
                answer_run(runs[index], false, "held back: " + stopped_why);
            } else if (answer.verdict == rollout_verdict::yes) {
                answer_run(runs[index], true, "");
            }
        }

        const tally counts = count(finished);
        const std::string tally_line = tally_text(
            counts,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() /
                3600,
            stopped_why);
        screen_set_tally(tally_line);
        // On a pipe, the tally each time a run ends or the station stops.
        const std::string shown_counts = std::to_string(counts.flashed) + " " +
                                         std::to_string(counts.failed) + " " +
                                         std::to_string(counts.held_back) + " " + stopped_why;
        if (!screen_is_terminal() && shown_counts != last_tally) {
            screen_write(tally_line + "\n");
        }
        last_tally = shown_counts;

        std::vector<pollfd> events = {{watch.fd, POLLIN, 0}};
        const std::int64_t settling = next_settled_ms(slots, now_ms(), settle_ms);
        int timeout = screen_is_terminal() ? 1000 : -1;
        if (settling >= 0 && stopped_why.empty()) {
            timeout = timeout < 0 ? static_cast<int>(std::min<std::int64_t>(settling, INT_MAX))
                                  : std::min(timeout, static_cast<int>(settling));
        }
        if (!serve_step(runs, events, timeout)) {
            end_without_waiting(runs);
            stopped_why = "the wait on the runs failed";
            continue;
        }
        if (events[0].revents != 0) {
            take_events(watch, slots);
        }
        for (int signal_number = take_fleet_signal(); signal_number != 0;
             signal_number = take_fleet_signal()) {
            if (!asks_to_stop(signal_number)) {
                continue;
            }
            if (stopped_why.empty()) {
                stopped_why = std::string("stopped by ") + strsignal(signal_number);
                screen_break();
                screen_write(std::string("\nromup-fleet: ") + strsignal(signal_number) +
                             ": the watch stops; no new run starts, the runs past their y go on "
                             "to their end\n");
                for (port_run& run : runs) {
                    if (!run.told_yes) {
                        answer_run(run, false, "held back: " + stopped_why);
                    }
                }
            } else if (!told_second) {
                told_second = true;
                screen_break();
                screen_write(std::string("\nromup-fleet: signal ignored (") +
                             strsignal(signal_number) +
                             "): the runs past their y are being reprogrammed; each ends by "
                             "itself\n");
            }
        }
    }
    finished.insert(finished.end(), std::make_move_iterator(runs.begin()),
                    std::make_move_iterator(runs.end()));
    screen_set_tally("");
    const int status = finish_runs(finished);
    screen_write(
        tally_text(
            count(finished),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() /
                3600,
            stopped_why) +
        "\n");
    return status;
}
