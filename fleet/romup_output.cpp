#include "romup_output.h"

#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view question_text = "Reprogram [Y/N]? ";
constexpr std::string_view transfer_text = "Ready to transfer [";
constexpr std::string_view loader_heading = "Moving loader code to the RAM -";
constexpr std::string_view firmware_heading = "Loading new firmware code to the Flash -";
constexpr std::string_view reload_text = "Trying to re-load firmware code";
constexpr std::string_view erasing_text = "Erasing Flash";
constexpr std::string_view loaded_text = "New firmware code was successfully loaded to the Flash";
constexpr std::string_view reset_text = "Please reset your modem to continue";
constexpr std::string_view aborted_text = "\r\nAborted\r\n";
constexpr std::string_view hint_text = "The Flash is incomplete";
constexpr std::string_view banner_text = "Flash loader for Tavrin 3306 modems";

bool has(std::string_view out, std::string_view text) {
    return out.find(text) != std::string_view::npos;
}

// The lines of text, split at CR and LF, without the empty ones.
std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) {
                lines.push_back(line);
            }
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// The value of the last update after a progress heading: romup rewrites it
// as four backspaces, three columns and "%".
int last_percent(std::string_view out, std::string_view heading) {
    const auto start = out.rfind(heading);
    const auto sign = out.rfind('%');
    if (start == std::string_view::npos || sign == std::string_view::npos || sign < start) {
        return -1;
    }
    auto first = sign;
    while (first > start && std::isdigit(static_cast<unsigned char>(out[first - 1])) != 0) {
        --first;
    }
    if (first == sign) {
        return -1;
    }
    return std::stoi(std::string(out.substr(first, sign - first)));
}

} // namespace

const char* phase_name(run_phase phase) {
    switch (phase) {
    case run_phase::start:
        return "start";
    case run_phase::probe:
        return "probe";
    case run_phase::reload:
        return "re-load";
    case run_phase::loader:
        return "loader";
    case run_phase::question:
        return "question";
    case run_phase::erase:
        return "erase";
    case run_phase::firmware:
        return "firmware";
    case run_phase::reset:
        return "reset";
    }
    return "";
}

output_reading read_output(const std::string& text) {
    const std::string_view out = text;
    output_reading seen;
    // Each phase announces itself with a text of its own, in this order.
    if (has(out, banner_text)) {
        seen.phase = run_phase::probe;
    }
    if (has(out, reload_text)) {
        seen.phase = run_phase::reload;
    }
    if (has(out, loader_heading)) {
        seen.phase = run_phase::loader;
        seen.percent = last_percent(out, loader_heading);
    }
    const auto transfer = out.find(transfer_text);
    if (transfer != std::string_view::npos && has(out.substr(transfer), question_text)) {
        seen.phase = run_phase::question;
        seen.percent = -1;
        seen.asked = true;
        // Between the line before it (the loader's progress line or the
        // re-load notice) and the question: the loader's reply, then the
        // firmware's warnings.
        auto from = out.rfind(loader_heading, transfer);
        if (from == std::string_view::npos) {
            from = out.rfind(reload_text, transfer);
        }
        from = from == std::string_view::npos ? 0 : out.find('\n', from);
        if (from != std::string_view::npos && from < transfer) {
            for (const std::string& line : lines_of(out.substr(from, transfer - from))) {
                if (line.rfind("Warning: ", 0) == 0) {
                    seen.warnings.push_back(line);
                } else {
                    seen.loader_reply += (seen.loader_reply.empty() ? "" : " ") + line;
                }
            }
        }
    }
    if (has(out, erasing_text)) {
        seen.phase = run_phase::erase;
        seen.erased = true;
    }
    if (has(out, firmware_heading)) {
        seen.phase = run_phase::firmware;
        seen.percent = last_percent(out, firmware_heading);
    }
    const auto loaded = out.find(loaded_text);
    if (loaded != std::string_view::npos) {
        seen.phase = run_phase::reset;
        seen.percent = -1;
        seen.flashed = true;
        seen.reset_missing = has(out.substr(loaded), reset_text);
    }
    seen.declined = has(out, aborted_text);

    // The failure message is the last line before romup's re-load hint, or
    // the last line of all; a progress line it interrupted ends before it.
    std::vector<std::string> lines = lines_of(out);
    for (auto line = lines.begin(); line != lines.end(); ++line) {
        if (line->rfind(hint_text, 0) == 0) {
            seen.hint.assign(line, lines.end());
            lines.erase(line, lines.end());
            break;
        }
    }
    if (!lines.empty()) {
        seen.message = lines.back();
        // The usage text is two lines: the word and the command.
        if (lines.size() >= 2 && lines[lines.size() - 2] == "usage:") {
            seen.message = "usage: " + seen.message.substr(seen.message.find_first_not_of(' '));
        }
    }
    return seen;
}

std::string run_result(const output_reading& seen, int status) {
    if (status == 0) {
        return seen.reset_missing ? "flashed, reset the modem" : "flashed";
    }
    if (seen.declined) {
        return "declined";
    }
    if (status < 0) {
        return "romup was killed";
    }
    if (seen.message.empty() || seen.message.find('\b') != std::string::npos ||
        seen.message.find(question_text) != std::string::npos) {
        return "romup ended with status " + std::to_string(status);
    }
    return seen.message;
}

bool needs_reload(const output_reading& seen, int status) {
    if (status == 0 || !seen.erased || seen.flashed) {
        return false;
    }
    return !seen.hint.empty() || seen.message == "Error while erasing Flash" ||
           seen.message == "Error while loading Flash" ||
           seen.message == "Error while starting loader";
}
