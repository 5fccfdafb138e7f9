#include "screen.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <unistd.h>

namespace {

bool terminal = false;
// The lines of the block drawn last on a terminal, to move back over them.
int drawn_lines = 0;
std::chrono::steady_clock::time_point drawn_at;

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string padded(const std::string& text, std::string::size_type width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string::size_type port_width(const std::vector<port_run>& runs) {
    std::string::size_type width = 4;
    for (const port_run& run : runs) {
        width = std::max(width, run.port.size());
    }
    return width;
}

// What follows a run's line once it has ended: romup's re-load hint, if it
// printed one (the line itself shows the failure message).
std::vector<std::string> notes_of(const port_run& run) {
    std::vector<std::string> notes;
    if (!run.ended) {
        return notes;
    }
    for (const std::string& line : run.seen.hint) {
        notes.push_back(line);
    }
    return notes;
}

std::string terminal_line(const port_run& run, std::string::size_type width) {
    std::string line = padded(run.port, width) + "  " + padded(phase_name(run.seen.phase), 9);
    line += padded(
        run.seen.percent >= 0 && !run.ended ? std::to_string(run.seen.percent) + "%" : "", 5);
    line += padded(seconds_text(run.seconds), 9);
    if (run.ended) {
        line += run.result;
    } else if (run.seen.asked && run.child.input != -1) {
        line += "waiting for the answer";
    }
    return line;
}

void draw_terminal(const std::vector<port_run>& runs) {
    std::string text;
    if (drawn_lines > 0) {
        text += "\033[" + std::to_string(drawn_lines) + "A";
    }
    const auto width = port_width(runs);
    int lines = 0;
    for (const port_run& run : runs) {
        text += "\r" + terminal_line(run, width) + "\033[K\n";
        ++lines;
        for (const std::string& note : notes_of(run)) {
            text += "\r    " + note + "\033[K\n";
            ++lines;
        }
    }
    text += "\033[J";
    drawn_lines = lines;
    drawn_at = std::chrono::steady_clock::now();
    screen_write(text);
}

void log_changes(std::vector<port_run>& runs) {
    std::string text;
    for (port_run& run : runs) {
        if (run.seen.phase != run.shown) {
            run.shown = run.seen.phase;
            text += run.port + ": " + phase_name(run.shown) + "\n";
        }
        if (run.ended && !run.end_shown) {
            run.end_shown = true;
            text += run.port + ": " + run.result + " (" + seconds_text(run.seconds) + ")\n";
            for (const std::string& note : notes_of(run)) {
                text += run.port + ":   " + note + "\n";
            }
        }
    }
    screen_write(text);
}

} // namespace

void screen_write(const std::string& text) {
    std::string::size_type done = 0;
    while (done < text.size()) {
        const ssize_t written = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        done += static_cast<std::string::size_type>(written);
    }
}

void screen_start() {
    terminal = isatty(STDOUT_FILENO) != 0;
}

bool screen_is_terminal() {
    return terminal;
}

void screen_update(std::vector<port_run>& runs, bool now) {
    if (!terminal) {
        log_changes(runs);
        return;
    }
    if (now || drawn_lines == 0 ||
        std::chrono::steady_clock::now() - drawn_at >= std::chrono::milliseconds(100)) {
        draw_terminal(runs);
    }
}

void screen_break() {
    drawn_lines = 0;
}

void screen_decision(const std::vector<port_run>& runs) {
    std::string text = "\n";
    for (const port_run& run : runs) {
        if (run.seen.asked && !run.ended) {
            for (const std::string& warning : run.seen.warnings) {
                text += warning + "\n";
            }
            break;
        }
    }
    std::string ready;
    std::string ended;
    for (const port_run& run : runs) {
        if (run.ended) {
            ended += "  " + run.port + ": " + run.result + "\n";
        } else {
            ready += "  " + run.port + ": " + run.seen.loader_reply + "\n";
        }
    }
    if (!ready.empty()) {
        text += "Ready, with the loader's reply:\n" + ready;
    }
    if (!ended.empty()) {
        text += "Ended before the question (never erased):\n" + ended;
    }
    screen_write(text);
}

void screen_summary(const std::vector<port_run>& runs, const std::string& reload_command) {
    const auto width = port_width(runs);
    std::string::size_type result_width = 6;
    for (const port_run& run : runs) {
        result_width = std::max(result_width, run.result.size());
    }
    std::string text =
        "\n" + padded("port", width) + "  " + padded("result", result_width) + "  phase     time\n";
    for (const port_run& run : runs) {
        text += padded(run.port, width) + "  " + padded(run.result, result_width) + "  " +
                padded(run.status == 0 ? "end" : phase_name(run.seen.phase), 8) + "  " +
                seconds_text(run.seconds) + "\n";
    }
    if (!reload_command.empty()) {
        text += "\nThe Flash is incomplete on the ports above that failed after the erase.\n"
                "Keep those modems powered and re-load them at once:\n  " +
                reload_command + "\n";
    }
    screen_write(text);
}
