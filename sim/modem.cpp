#include "modem.h"

#include "intel_hex.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Longer lines are cut: no command, loader or firmware line comes near it.
constexpr std::size_t line_limit = 4096;

const std::string startup_answer = "\r\nRESTARTING MODEM\r\n";
const std::string x_answer = "\r\nREADY\r\n";
// The loader's answer to a line that is none of its commands.
const std::string unknown_answer = "?\r\n";
// A byte that romup refuses as an acknowledgement in either phase.
const std::string bad_record_answer = "E";

std::int64_t clock_ns(const modem& m) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                m.started)
        .count();
}

std::int64_t byte_time_ns(const modem& m) {
    return m.bits_per_second > 0 ? 10'000'000'000 / m.bits_per_second : 0;
}

void note(modem& m, bool to_modem, const std::string& bytes) {
    sim_event event;
    event.at_us = m.now_ns / 1000;
    event.to_modem = to_modem;
    event.bytes = bytes;
    m.record->transcript.push_back(event);
    (to_modem ? m.record->received : m.record->sent) += bytes;
}

// Queues bytes to send after delay_ns. A silent modem queues nothing, but a
// firmware line's (empty) acknowledgement still marks when the line is done.
void send(modem& m, const std::string& bytes, std::int64_t delay_ns = 0, int firmware_line = 0) {
    const std::string out = m.scenario->silent ? std::string() : bytes;
    if (out.empty() && firmware_line == 0) {
        return;
    }
    const std::int64_t due = m.now_ns + delay_ns;
    if (firmware_line == 0 && !m.outbox.empty() && m.outbox.back().due_ns == due &&
        m.outbox.back().firmware_line == 0) {
        m.outbox.back().bytes += out;
        return;
    }
    m.outbox.push_back(modem_output{out, due, firmware_line});
}

// The answer to this occurrence of a command: the scenario's override for this
// very occurrence, else its override for every occurrence, else the usual one.
std::string answer_for(const modem& m, const std::string& command, int occurrence,
                       const std::string& usual) {
    const sim_answer_override* every_time = nullptr;
    for (const sim_answer_override& o : m.scenario->answers) {
        if (o.command != command) {
            continue;
        }
        if (o.occurrence == occurrence) {
            return o.answer;
        }
        if (o.occurrence == 0 && every_time == nullptr) {
            every_time = &o;
        }
    }
    return every_time != nullptr ? every_time->answer : usual;
}

void answer(modem& m, const std::string& command, const std::string& usual,
            std::int64_t delay_ns = 0) {
    const int occurrence = ++m.occurrences[command];
    if (m.scenario->on_command) {
        m.scenario->on_command(command);
    }
    send(m, answer_for(m, command, occurrence, usual), delay_ns);
}

void vanish(modem& m) {
    close(m.fd);
    m.fd = -1;
    m.state = modem_state::vanished;
    m.record->vanished = true;
    m.outbox.clear();
    m.held.clear();
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The digit after a command letter; -1 when there is none.
int optional_digit(const std::string& text, std::size_t& i) {
    if (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        return text[i++] - '0';
    }
    return -1;
}

// Carries out the commands that follow "AT". A command the modem does not know
// fails the whole line, which then changes nothing.
bool run_at_commands(const std::string& text, bool& echo, bool& verbose) {
    bool new_echo = echo;
    bool new_verbose = verbose;
    std::size_t i = 0;
    while (i < text.size()) {
        const char letter = upper(text[i++]);
        if (letter == ' ') {
            continue;
        }
        if (letter == '&') {
            const char ampersand_letter = i < text.size() ? upper(text[i++]) : '\0';
            const int digit = optional_digit(text, i);
            if (ampersand_letter == 'F' && digit <= 1) {
                new_echo = true;
                new_verbose = true;
            } else if (ampersand_letter == 'D' && digit <= 3) {
                // DTR handling: a pseudo-terminal has no DTR line.
            } else {
                return false;
            }
            continue;
        }
        const int digit = optional_digit(text, i);
        if (letter == 'E' && digit <= 1) {
            new_echo = digit == 1;
        } else if (letter == 'V' && digit <= 1) {
            new_verbose = digit == 1;
        } else if (letter == 'Z' && digit <= 1) {
            new_echo = true;
            new_verbose = true;
        } else if (letter == 'Q' && digit <= 0) {
            // Result codes on: they are never off.
        } else {
            return false;
        }
    }
    echo = new_echo;
    verbose = new_verbose;
    return true;
}

void command_line(modem& m, const std::string& text) {
    // A Hayes modem ignores empty lines and lines without the "AT" prefix.
    if (text.empty()) {
        return;
    }
    std::string usual;
    if (text.size() >= 2 && upper(text[0]) == 'A' && upper(text[1]) == 'T') {
        const bool ok = run_at_commands(text.substr(2), m.echo, m.verbose);
        // The result code takes the form the line itself has just selected.
        if (m.verbose) {
            usual = ok ? "\r\nOK\r\n" : "\r\nERROR\r\n";
        } else {
            usual = ok ? "0\r" : "4\r";
        }
    }
    answer(m, text, usual);
}

std::string loader_ack(sim_loader_ack kind) {
    switch (kind) {
    case sim_loader_ack::cr:
        return "\r";
    case sim_loader_ack::dot:
        return ".";
    case sim_loader_ack::zero:
        return "0\r";
    case sim_loader_ack::eight:
        return "8\r\n";
    }
    return ".";
}

void loader_line(modem& m, const std::string& text) {
    const sim_scenario& s = *m.scenario;
    const int number = ++m.record->loader_lines;
    if (number == s.vanish_at_loader_line) {
        vanish(m);
        return;
    }
    // A blank line carries nothing and is taken as good.
    hex_record record;
    const bool good = text.empty() || hex_parse(text, true, record);
    const bool end_of_file = !text.empty() && good && record.type == 1;
    std::string ack = s.check_records && !good ? bad_record_answer : loader_ack(s.loader_ack);
    const auto at = s.loader_ack_at.find(number);
    if (at != s.loader_ack_at.end()) {
        ack = at->second;
    }
    send(m, ack);
    if (end_of_file) {
        m.state = modem_state::loader_running;
        m.programming = false;
        send(m, s.loader_ready);
    }
}

// Programs a firmware record into the Flash; false when it is not a record or
// its data lies outside the Flash. Without checks a wrong checksum is overlooked.
bool program_record(modem& m, const std::string& text) {
    hex_record record;
    if (!hex_parse(text, m.scenario->check_records, record) ||
        !hex_apply(record, m.base, m.record->flash)) {
        return false;
    }
    m.flash_changed = true;
    return true;
}

void firmware_line(modem& m, const std::string& text) {
    const sim_scenario& s = *m.scenario;
    const int number = ++m.record->firmware_lines;
    if (number == s.vanish_at_firmware_line) {
        vanish(m);
        return;
    }
    const bool good = text.empty() || program_record(m, text);
    std::string ack;
    if (s.check_records && !good) {
        ack = bad_record_answer;
    } else {
        // After CR comes one more byte, which romup reads and discards.
        ack = s.firmware_ack == sim_firmware_ack::dot ? "." : "\r\n";
    }
    const auto at = s.firmware_ack_at.find(number);
    if (at != s.firmware_ack_at.end() && !(s.firmware_faults_once && m.erases > 1)) {
        ack = at->second;
    }
    send(m, ack, 0, number);
}

void loader_command(modem& m, const std::string& text) {
    if (text.empty()) {
        return;
    }
    const sim_scenario& s = *m.scenario;
    if (text == "REPROGRAM") {
        m.record->erased = true;
        m.record->flash.clear();
        m.record->firmware_lines = 0;
        m.base = 0;
        m.programming = true;
        m.flash_changed = true;
        ++m.erases;
        answer(m, text, s.erase_answer, std::int64_t{s.erase_ms} * 1'000'000);
    } else if (text == "STARTUP") {
        // The modem comes back up with its factory settings.
        m.state = modem_state::command;
        m.echo = true;
        m.verbose = true;
        m.programming = false;
        ++m.restarts;
        answer(m, text, startup_answer);
    } else {
        answer(m, text, unknown_answer);
    }
}

void take_byte(modem& m, char c) {
    switch (m.state) {
    case modem_state::command:
        if (m.line.empty() && c == ':') {
            m.state = modem_state::loader_receiving;
            m.record->loader_lines = 0;
            m.line = ":";
            return;
        }
        if (m.echo) {
            send(m, std::string(1, c));
        }
        if (c == '\r') {
            const std::string text = m.line;
            m.line.clear();
            command_line(m, text);
        } else if (c == '\b') {
            if (!m.line.empty()) {
                m.line.pop_back();
            }
        } else if (c != '\n' && m.line.size() < line_limit) {
            m.line += c;
        }
        return;
    case modem_state::loader_receiving:
    case modem_state::loader_running:
        if (m.state == modem_state::loader_running && m.line.empty() && c == 'X') {
            if (m.programming) {
                m.programming = false;
                ++m.programs_completed;
            }
            answer(m, "X", x_answer);
        } else if (c == '\r') {
            const std::string text = m.line;
            m.line.clear();
            if (m.state == modem_state::loader_receiving) {
                loader_line(m, text);
            } else if (m.programming) {
                firmware_line(m, text);
            } else {
                loader_command(m, text);
            }
        } else if (c != '\n' && m.line.size() < line_limit) {
            m.line += c;
        }
        return;
    case modem_state::vanished:
        return;
    }
}

// Reads all that is queued on the line; false when nothing was.
bool read_input(modem& m) {
    bool got = false;
    char buffer[4096];
    // Bounded, so that a flood cannot keep the modem from answering.
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t n = read(m.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // EIO: every slave handle is closed.
            if (n < 0 && errno == EIO) {
                m.hung_up = true;
            }
            break;
        }
        // A byte that finds the line idle starts arriving now.
        if (m.inbox.empty()) {
            m.inbox_free_ns = std::max(m.inbox_free_ns, m.now_ns);
        }
        m.inbox.append(buffer, static_cast<std::size_t>(n));
        got = true;
    }
    return got;
}

// Acts on the bytes that have arrived: all of them, or with pacing those whose
// ten bits have had time to come down the line.
void take_input(modem& m) {
    const std::int64_t byte_time = byte_time_ns(m);
    std::string taken;
    std::size_t i = 0;
    while (i < m.inbox.size() && m.state != modem_state::vanished) {
        if (byte_time > 0) {
            if (m.inbox_free_ns + byte_time > m.now_ns) {
                break;
            }
            m.inbox_free_ns += byte_time;
        }
        const char c = m.inbox[i++];
        taken += c;
        // With pacing, the modem acts on a byte when its last bit arrived, not
        // when the step got round to it: its answer is timed from then.
        const std::int64_t step_ns = m.now_ns;
        if (byte_time > 0) {
            m.now_ns = m.inbox_free_ns;
        }
        take_byte(m, c);
        m.now_ns = step_ns;
    }
    // What had come down the line before the modem vanished was still received.
    if (m.state == modem_state::vanished) {
        taken += m.inbox.substr(i);
        i = m.inbox.size();
    }
    m.inbox.erase(0, i);
    if (!taken.empty()) {
        note(m, true, taken);
    }
}

// An FTDI adapter's buffer: a full USB packet goes at once whatever the timer.
constexpr std::size_t adapter_packet = 62;

// Writes to romup's end of the line, again after a signal. Returns the count
// written; 0 when the line is full for now (write_blocked is then set); -1
// when the line is gone.
ssize_t write_to_line(modem& m, const char* bytes, std::size_t count) {
    for (;;) {
        const ssize_t n = write(m.fd, bytes, count);
        if (n > 0) {
            return n;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            m.write_blocked = true;
            return 0;
        }
        return -1;
    }
}

// Hands count bytes to the line, as write_to_line does: straight to romup, or
// into the adapter's hold, which takes them all.
ssize_t put_on_line(modem& m, const char* bytes, std::size_t count) {
    if (m.latency_ns == 0) {
        return write_to_line(m, bytes, count);
    }
    if (m.held.empty()) {
        m.held_until_ns = m.now_ns + m.latency_ns;
    }
    m.held.append(bytes, count);
    return static_cast<ssize_t>(count);
}

// Passes the adapter's hold on to romup once its timer has run out or a
// packet is full.
void release_held(modem& m) {
    while (!m.held.empty() && m.fd >= 0 &&
           (m.now_ns >= m.held_until_ns || m.held.size() >= adapter_packet)) {
        const ssize_t n = write_to_line(m, m.held.data(), m.held.size());
        if (n <= 0) {
            if (n < 0) {
                m.held.clear();
            }
            return;
        }
        m.held.erase(0, static_cast<std::size_t>(n));
    }
}

void send_due_output(modem& m) {
    const std::int64_t byte_time = byte_time_ns(m);
    while (!m.outbox.empty() && m.fd >= 0) {
        modem_output& out = m.outbox.front();
        if (out.due_ns > m.now_ns) {
            return;
        }
        std::size_t count = out.bytes.size();
        if (byte_time > 0 && count > 0) {
            // With pacing a byte reaches romup once its ten bits have left.
            m.outbox_free_ns = std::max(m.outbox_free_ns, out.due_ns);
            const std::int64_t sent = (m.now_ns - m.outbox_free_ns) / byte_time;
            if (sent <= 0) {
                return;
            }
            count = std::min(count, static_cast<std::size_t>(sent));
        }
        if (count > 0) {
            const ssize_t n = put_on_line(m, out.bytes.data(), count);
            if (n <= 0) {
                // A line that is gone loses what was to be said with it.
                if (n < 0) {
                    m.outbox.clear();
                }
                return;
            }
            const std::size_t written = static_cast<std::size_t>(n);
            note(m, false, out.bytes.substr(0, written));
            out.bytes.erase(0, written);
            m.outbox_free_ns += static_cast<std::int64_t>(written) * byte_time;
            if (!out.bytes.empty()) {
                continue;
            }
        }
        const int line = out.firmware_line;
        m.outbox.pop_front();
        if (line > 0 && m.scenario->on_firmware_line) {
            m.scenario->on_firmware_line(line);
        }
    }
}

void write_output(modem& m) {
    m.write_blocked = false;
    send_due_output(m);
    release_held(m);
}

// How long the step may wait before a paced byte arrives or an answer falls
// due, in nanoseconds: pacing at 115200 bit/s needs far finer steps than
// milliseconds.
std::int64_t wait_ns(const modem& m, int max_wait_ms) {
    const std::int64_t byte_time = byte_time_ns(m);
    std::int64_t next = INT64_MAX;
    if (!m.inbox.empty()) {
        next = m.inbox_free_ns + byte_time;
    }
    if (!m.outbox.empty() && !m.write_blocked) {
        const modem_output& out = m.outbox.front();
        std::int64_t due = out.due_ns;
        if (byte_time > 0 && !out.bytes.empty()) {
            due = std::max(due, m.outbox_free_ns) + byte_time;
        }
        next = std::min(next, due);
    }
    if (!m.held.empty() && !m.write_blocked) {
        next = std::min(next, m.held_until_ns);
    }
    const std::int64_t longest = std::int64_t{max_wait_ms} * 1'000'000;
    if (next == INT64_MAX) {
        return longest;
    }
    return std::clamp<std::int64_t>(next - m.now_ns, 0, longest);
}

} // namespace

void modem_begin(modem& m, int fd, const sim_scenario& scenario, sim_record& record) {
    // The default timer slack of 50 us would make every paced byte late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    m.fd = fd;
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    m.scenario = &scenario;
    m.record = &record;
    m.started = std::chrono::steady_clock::now();
    m.now_ns = 0;
    m.bits_per_second = scenario.pace_bits_per_second;
    m.latency_ns = std::int64_t{scenario.latency_ms} * 1'000'000;
    m.state = scenario.start == sim_start::loader_running ? modem_state::loader_running
                                                          : modem_state::command;
    m.echo = true;
    m.verbose = true;
}

void modem_step(modem& m, int max_wait_ms) {
    if (m.fd < 0) {
        return;
    }
    m.now_ns = clock_ns(m);
    const std::int64_t timeout_ns = wait_ns(m, max_wait_ms);
    const timespec timeout{static_cast<time_t>(timeout_ns / 1'000'000'000),
                           static_cast<long>(timeout_ns % 1'000'000'000)};
    pollfd p{m.fd, static_cast<short>(POLLIN | (m.write_blocked ? POLLOUT : 0)), 0};
    const int ready = ppoll(&p, 1, &timeout, nullptr);
    m.now_ns = clock_ns(m);
    bool got = false;
    if (ready > 0 && (p.revents & POLLIN) != 0) {
        got = read_input(m);
    }
    if (got) {
        m.hung_up = false;
    } else if (ready > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) {
        m.hung_up = true;
    }
    if (!got && ready > 0 && m.hung_up) {
        // With no slave open, poll reports the hang-up at once every time: wait
        // out the step instead, so as not to spin.
        ppoll(nullptr, 0, &timeout, nullptr);
        m.now_ns = clock_ns(m);
    }
    take_input(m);
    write_output(m);
}

void modem_drain(modem& m) {
    if (m.fd < 0) {
        return;
    }
    m.now_ns = clock_ns(m);
    read_input(m);
    if (!m.inbox.empty()) {
        note(m, true, m.inbox);
        m.inbox.clear();
    }
}
