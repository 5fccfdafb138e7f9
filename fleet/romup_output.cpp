#include "romup_output.h"

#include "texts/messages.h"

#include <cctype>
#include <csignal>
#include <cstring>
#include <string_view>

namespace {

using text = std::string_view;

// Whether rest begins with what; if so, takes it.
bool take(text& rest, text what) {
    if (rest.substr(0, what.size()) != what) {
        return false;
    }
    rest.remove_prefix(what.size());
    return true;
}

// Whether rest begins with a line of the named text around a name: names
// reach romup's output as shown_name shows them, so a name holds no line end.
// If so, takes it and puts the line, without its line ends, in line.
bool take_named(text& rest, const named_text& named, std::string& line) {
    const text before = named.before;
    const text after = named.after;
    const text after_in_line = after.substr(0, after.find_first_of("\r\n"));
    const text line_end = after.substr(after_in_line.size());
    if (rest.substr(0, before.size()) != before) {
        return false;
    }
    const text whole = rest.substr(0, rest.find_first_of("\r\n", before.size()));
    if (whole.size() < before.size() + after_in_line.size() ||
        whole.substr(whole.size() - after_in_line.size()) != after_in_line ||
        rest.substr(whole.size(), line_end.size()) != line_end) {
        return false;
    }
    line = std::string(whole);
    rest.remove_prefix(whole.size() + line_end.size());
    return true;
}

// Whether rest begins with the progress line's heading; if so, takes it and
// every complete update after it, the last value shown in percent.
bool take_progress(text& rest, text heading, int& percent) {
    if (!take(rest, heading)) {
        return false;
    }
    percent = 0;
    constexpr text back = "\b\b\b\b";
    while (rest.substr(0, back.size()) == back) {
        const auto sign = rest.find('%', back.size());
        if (sign == text::npos) {
            break;
        }
        text number = rest.substr(back.size(), sign - back.size());
        while (!number.empty() && number.front() == ' ') {
            number.remove_prefix(1);
        }
        if (number.empty() || number.size() > 3) {
            break;
        }
        int value = 0;
        for (char c : number) {
            if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
                return true;
            }
            value = value * 10 + (c - '0');
        }
        percent = value;
        rest.remove_prefix(sign + 1);
    }
    return true;
}

// The text's lines, without the empty ones, joined by a blank.
std::string one_line(text lines) {
    std::string joined;
    std::string line;
    for (char c : std::string(lines) + "\n") {
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        const auto first = line.find_first_not_of(' ');
        if (first != std::string::npos) {
            joined += (joined.empty() ? "" : " ") + line.substr(first);
        }
        line.clear();
    }
    return joined;
}

// Sets the failure message to the constant's line.
void say(output_reading& seen, const char* constant) {
    seen.message = one_line(constant);
}

// The hint romup prints past the erase: a re-load command follows it.
void take_hint(text& rest, output_reading& seen) {
    if (take(rest, flash_incomplete_text)) {
        seen.reload_hint = true;
        // The rest of the hint (the command, the pipe's note) is romup's own
        // and ends its output.
        rest = text();
    }
}

// Between the loader's last line and the question: "\r\n", the reply as it
// came, "\r\n\n", then lines that begin with warning_prefix. The reply is the
// modem's bytes and may hold anything, so it is found from the block's end.
std::string reply_of(text block, std::vector<std::string>& warnings) {
    if (!take(block, loader_reply_text.before)) {
        return "";
    }
    const text reply_end = loader_reply_text.after;
    const auto ends_with = [](text whole, text end) {
        return whole.size() >= end.size() && whole.substr(whole.size() - end.size()) == end;
    };
    while (block.size() > reply_end.size() && !ends_with(block, reply_end)) {
        const auto start = block.rfind('\n', block.size() - 2);
        const text last = start == text::npos ? block : block.substr(start + 1);
        if (last.substr(0, std::strlen(warning_prefix)) != warning_prefix) {
            break;
        }
        warnings.insert(warnings.begin(), one_line(last));
        block.remove_suffix(last.size());
    }
    if (ends_with(block, reply_end)) {
        block.remove_suffix(reply_end.size());
    }
    return one_line(block);
}

// The road of a run from the question on; rest begins after the question.
void read_answered(text& rest, output_reading& seen) {
    std::string line;
    if (take(rest, aborted_text)) {
        seen.declined = true;
        take(rest, reset_modem_text);
        return;
    }
    if (take(rest, do_not_touch_text)) {
        if (!take(rest, erasing_text)) {
            return;
        }
        seen.phase = run_phase::erase;
        seen.erased = true;
    } else {
        text after_newline = rest;
        if (take(after_newline, "\r\n") && take_named(after_newline, firmware_changed_text, line)) {
            rest = after_newline;
            seen.stopped_unchanged = true;
            seen.message = line;
            take(rest, reset_modem_text);
        } else if (take_named(rest, cannot_open_text, line)) {
            seen.message = line;
        }
        return;
    }
    if (take(rest, erase_failed_text)) {
        say(seen, erase_failed_text);
        if (take(rest, no_loader_answered_text)) {
            seen.reload_hint = true;
            rest = text();
        }
        take_hint(rest, seen);
        return;
    }
    if (!take_progress(rest, firmware_heading_text, seen.percent)) {
        return;
    }
    seen.phase = run_phase::firmware;
    if (take(rest, flash_refused_text)) {
        say(seen, flash_refused_text);
        take_hint(rest, seen);
        return;
    }
    if (!take(rest, progress_end_text)) {
        return;
    }
    if (take(rest, loader_not_started_text)) {
        say(seen, loader_not_started_text);
        take_hint(rest, seen);
        return;
    }
    if (take(rest, restart_failed_text)) {
        say(seen, restart_failed_text);
        return;
    }
    if (take(rest, flash_loaded_text)) {
        seen.phase = run_phase::reset;
        seen.percent = -1;
        seen.flashed = true;
        take(rest, resetting_text);
        seen.reset_missing = take(rest, reset_modem_text);
    }
}

// The road of a run up to its question; rest begins after the banner. False
// when the run ended on the way, or has not got further yet.
bool read_until_question(text& rest, output_reading& seen) {
    std::string line;
    if (take(rest, usage_text)) {
        say(seen, usage_text);
        return false;
    }
    if (take(rest, no_memory_text)) {
        say(seen, no_memory_text);
        return false;
    }
    for (const named_text& refusal : {cannot_open_text, firmware_empty_text, port_in_use_text}) {
        if (take_named(rest, refusal, line)) {
            seen.message = line;
            return false;
        }
    }
    if (take(rest, reload_notice_text)) {
        seen.phase = run_phase::reload;
    } else {
        if (take(rest, modem_silent_text)) {
            say(seen, modem_silent_text);
            return false;
        }
        // The loader's file is opened after the probe.
        if (take_named(rest, cannot_open_text, line)) {
            seen.message = line;
            return false;
        }
        if (!take_progress(rest, loader_heading_text, seen.percent)) {
            return false;
        }
        seen.phase = run_phase::loader;
        if (take(rest, loader_refused_text)) {
            say(seen, loader_refused_text);
            return false;
        }
        if (!take(rest, progress_end_text)) {
            return false;
        }
        if (take(rest, loader_not_started_text)) {
            say(seen, loader_not_started_text);
            return false;
        }
    }
    if (take_named(rest, firmware_changed_text, line)) {
        seen.stopped_unchanged = true;
        seen.message = line;
        take(rest, reset_modem_text);
        return false;
    }
    return true;
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

output_reading read_output(const std::string& out, const std::string& firmware_shown) {
    output_reading seen;
    text rest = out;
    if (take(rest, banner_text)) {
        seen.phase = run_phase::probe;
        if (read_until_question(rest, seen)) {
            // romup prints nothing after its question until it has its answer,
            // and nothing of its own after it holds the question: the last one
            // is romup's, any other is in the modem's reply.
            const std::string question = around(question_text, firmware_shown);
            const auto at = rest.rfind(question);
            if (at != text::npos) {
                seen.loader_reply = reply_of(rest.substr(0, at), seen.warnings);
                rest.remove_prefix(at + question.size());
                seen.phase = run_phase::question;
                seen.percent = -1;
                seen.asked = rest.empty();
                read_answered(rest, seen);
            }
        }
    }
    seen.unread = std::string(rest);
    return seen;
}

bool run_flashed(const output_reading& seen, int status) {
    return status == 0 && seen.flashed;
}

std::string run_result(const output_reading& seen, int status, int signal_number) {
    if (run_flashed(seen, status)) {
        return seen.reset_missing ? "flashed, reset the modem" : "flashed";
    }
    if (status < 0 && signal_number == 0) {
        return "romup's end could not be known";
    }
    if (status < 0) {
        return "romup was killed by signal " + std::to_string(signal_number) + " (" +
               strsignal(signal_number) + ")";
    }
    if (seen.declined && status == 1) {
        return "declined";
    }
    if (!seen.message.empty() && seen.unread.empty()) {
        return seen.message;
    }
    return "romup ended with status " + std::to_string(status);
}

bool needs_reload(const output_reading& seen, int status) {
    if (!seen.erased || run_flashed(seen, status)) {
        return false;
    }
    if (seen.reload_hint) {
        return true;
    }
    // The one failure past the erase that romup gives no re-load for: the
    // loader answered "READY" after the upload and was told to start the
    // modem, which then did not answer.
    return !(status == 1 && seen.unread.empty() && seen.message == one_line(restart_failed_text));
}
