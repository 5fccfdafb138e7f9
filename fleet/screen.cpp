#include "screen.h"

#include "fleet_io.h"
#include "texts/messages.h"
#include "texts/shown_name.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool terminal = false;
// The lines of the block drawn last on a terminal, to move back over them.
int drawn_lines = 0;
std::string tally;
std::chrono::steady_clock::time_point drawn_at;

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string padded(const std::string& text, std::string::size_type width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string shown(const std::string& name) {
    return shown_name(name.c_str());
}

// What a run's line says after its seconds.
std::string state_text(const port_run& run) {
    if (run.ended) {
        return run.result;
    }
    if (run.told_no) {
        return run.held_back.empty() ? "told no" : run.held_back;
    }
    if (run.seen.asked && !run.told_yes) {
        return run.canary ? "waiting, a canary" : "waiting";
    }
    return "";
}

void draw_terminal(const std::vector<port_run>& runs,
                   const std::vector<std::vector<std::string>>& notes) {
    std::string text;
    if (drawn_lines > 0) {
        text += "\033[" + std::to_string(drawn_lines) + "A";
    }
    const auto width = name_width(runs);
    int lines = 0;
    for (std::size_t index = 0; index < runs.size(); ++index) {
        text += "\r" + terminal_line(runs[index], width) + "\033[K\n";
        ++lines;
        for (const std::string& note : notes[index]) {
            text += "\r    " + note + "\033[K\n";
            ++lines;
        }
    }
    if (!tally.empty()) {
        text += "\r" + tally + "\033[K\n";
        ++lines;
    }
    text += "\033[J";
    drawn_lines = lines;
    drawn_at = std::chrono::steady_clock::now();
    screen_write(text);
}

} // namespace

void screen_write(const std::string& text) {
    write_in_full(STDOUT_FILENO, text.data(), text.size());
}

void screen_start() {
    terminal = isatty(STDOUT_FILENO) != 0;
}

bool screen_is_terminal() {
    return terminal;
}

std::string::size_type name_width(const std::vector<port_run>& runs) {
    std::string::size_type width = 4;
    for (const port_run& run : runs) {
        width = std::max(width, shown(run.name).size());
    }
    return width;
}

std::vector<std::string> run_notes(const port_run& run, const std::string& reload_command) {
    if (!run.ended || !run.reload) {
        return {};
    }
    return {line_of(flash_incomplete_text), "Re-load it at once: " + reload_command};
}

std::string terminal_line(const port_run& run, std::string::size_type width) {
    std::string line =
        padded(shown(run.name), width) + "  " + padded(phase_name(run.seen.phase), 9);
    line += padded(
        run.seen.percent >= 0 && !run.ended ? std::to_string(run.seen.percent) + "%" : "", 5);
    return line + padded(seconds_text(run.seconds), 9) + state_text(run);
}

std::string phase_changes(std::vector<port_run>& runs,
                          const std::vector<std::vector<std::string>>& notes) {
    std::string text;
    for (std::size_t index = 0; index < runs.size(); ++index) {
        port_run& run = runs[index];
        if (run.seen.phase == run.shown && (!run.ended || run.end_shown)) {
            continue;
        }
        const std::string name = shown(run.name);
        if (run.seen.phase != run.shown) {
            run.shown = run.seen.phase;
            text += name + ": " + phase_name(run.shown) + "\n";
        }
        if (run.ended && !run.end_shown) {
            run.end_shown = true;
            text += name + ": " + run.result + " (" + seconds_text(run.seconds) + ")\n";
            for (const std::string& note : notes[index]) {
                text += name + ":   " + note + "\n";
            }
        }
    }
    return text;
}

// Whether a block of lines fits the terminal: one taller than its window
// cannot be moved back over, and would scroll into a mess.
bool block_fits(const std::vector<port_run>& runs,
                const std::vector<std::vector<std::string>>& notes) {
    winsize window{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) != 0 || window.ws_row == 0) {
        return true;
    }
    std::size_t lines = runs.size() + (tally.empty() ? 0 : 1);
    for (const std::vector<std::string>& run_notes : notes) {
        lines += run_notes.size();
    }
    return lines < window.ws_row;
}

void screen_update(std::vector<port_run>& runs, const std::vector<std::vector<std::string>>& notes,
                   bool now) {
    // Too many lines for the window: one line per change from now on.
    if (terminal && !block_fits(runs, notes)) {
        terminal = false;
        screen_break();
    }
    if (!terminal) {
        screen_write(phase_changes(runs, notes));
        return;
    }
    if (now || drawn_lines == 0 ||
        std::chrono::steady_clock::now() - drawn_at >= std::chrono::milliseconds(100)) {
        draw_terminal(runs, notes);
    }
}

void screen_set_tally(const std::string& text) {
    tally = text;
}

void screen_break() {
    drawn_lines = 0;
}

std::string summary_text(const std::vector<port_run>& runs) {
    const auto width = name_width(runs);
    std::string::size_type result_width = 6;
    for (const port_run& run : runs) {
        result_width = std::max(result_width, run.result.size());
    }
    std::string text =
        "\n" + padded("port", width) + "  " + padded("result", result_width) + "  phase     time\n";
    for (const port_run& run : runs) {
        text += padded(shown(run.name), width) + "  " + padded(run.result, result_width) + "  " +
                padded(run_flashed(run.seen, run.status) ? "end" : phase_name(run.seen.phase), 8) +
                "  " + seconds_text(run.seconds) + "\n";
    }
    return text;
}
