#include "modem.h"

#include "intel_hex.h"
#include "write_all.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
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

// The modem closes its side of the line when the line that makes it vanish
// has arrived; until then it still sends what leaves before.
void vanish(modem& m) {
    m.state = modem_state::vanishing;
    m.vanish_ns = m.now_ns;
}

void close_line(modem& m) {
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
    case modem_state::vanishing:
    case modem_state::vanished:
        return;
    }
}

// The rate romup set on the port, read (never set) through fd; 0 when unknown.
std::int64_t line_rate(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return 0;
    }
    switch (cfgetospeed(&settings)) {
    case B300:
        return 300;
    case B600:
        return 600;
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

// Acts on count bytes that romup has just sent, each as of when its last bit
// arrives: with pacing they come one after the other, from now or from when
// the line is free of the bytes before; the answers are timed from then, so
// that taking the bytes at once, rather than waking for each, makes nothing
// early.
void take_input(modem& m, const char* bytes, std::size_t count) {
    const std::int64_t step_ns = m.now_ns;
    if (m.input_free_ns <= m.now_ns && m.follow_rate) {
        // romup sets the rate before it writes.
        m.bits_per_second = line_rate(m.fd);
    }
    const std::int64_t byte_time = byte_time_ns(m);
    m.input_free_ns = std::max(m.input_free_ns, m.now_ns);
    for (std::size_t i = 0; i < count && m.state != modem_state::vanishing; ++i) {
        m.input_free_ns += byte_time;
        m.now_ns = m.input_free_ns;
        take_byte(m, bytes[i]);
    }
    m.now_ns = step_ns;
    // What romup sent after the line that made the modem vanish is received
    // all the same, and acted on never.
    note(m, true, std::string(bytes, count));
}

// Reads all that is queued on the line and acts on it; false when nothing was.
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
        take_input(m, buffer, static_cast<std::size_t>(n));
        got = true;
    }
    return got;
}

// An FTDI adapter's buffer: a full USB packet goes at once whatever the timer.
constexpr std::size_t adapter_packet = 62;

// Writes to romup's end of the line. Returns the count written; fewer than
// count when the line is full for now (write_blocked is then set); -1 when
// the line is gone.
ssize_t write_to_line(modem& m, const char* bytes, std::size_t count) {
    const std::size_t n = sim_write_all(m.fd, bytes, count);
    if (n < count) {
        if (errno != EAGAIN) {
            return -1;
        }
        m.write_blocked = true;
    }
    return static_cast<ssize_t>(n);
}

// Hands count bytes, the first of which left the modem at left_ns, to the
// line as write_to_line does: straight to romup, or into the adapter's hold,
// which takes them all.
ssize_t put_on_line(modem& m, const char* bytes, std::size_t count, std::int64_t left_ns) {
    if (m.latency_ns == 0) {
        return write_to_line(m, bytes, count);
    }
    if (m.held.empty()) {
        m.held_until_ns = left_ns + m.latency_ns;
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
        if (n < 0) {
            m.held.clear();
        } else {
            m.held.erase(0, static_cast<std::size_t>(n));
        }
        if (m.write_blocked) {
            return;
        }
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
        std::int64_t left_ns = out.due_ns;
        if (byte_time > 0 && count > 0) {
            // With pacing a byte reaches romup once its ten bits have left.
            m.outbox_free_ns = std::max(m.outbox_free_ns, out.due_ns);
            const std::int64_t sent = (m.now_ns - m.outbox_free_ns) / byte_time;
            if (sent <= 0) {
                return;
            }
            count = std::min(count, static_cast<std::size_t>(sent));
            left_ns = m.outbox_free_ns + byte_time;
        }
        if (count > 0) {
            const ssize_t n = put_on_line(m, out.bytes.data(), count, left_ns);
            if (n < 0) {
                // A line that is gone loses what was to be said with it.
                m.outbox.clear();
                return;
            }
            const std::size_t written = static_cast<std::size_t>(n);
            if (written > 0) {
                note(m, false, out.bytes.substr(0, written));
                out.bytes.erase(0, written);
                m.outbox_free_ns += static_cast<std::int64_t>(written) * byte_time;
            }
            if (m.write_blocked) {
                return;
            }
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

// A paced step's batch: the bytes of the modem's that leave within this much
// line time of the first are handed over together, when the last of them has
// left, so that the first is up to this much late and none is early. Each
// wake-up costs the simulator some 25 us of processor time, most of it in the
// kernel; at 115200 bit/s a millisecond is 11 bytes.
constexpr std::int64_t batch_ns = 1'000'000;

// When the step has something to do, on the modem's clock: the first byte to
// leave, answer or hold to fall due; with pacing, the last of these within a
// batch of the first. INT64_MAX when nothing is due.
std::int64_t step_deadline_ns(const modem& m) {
    const std::int64_t byte_time = byte_time_ns(m);
    const bool can_write = !m.write_blocked;
    std::int64_t first = m.state == modem_state::vanishing ? m.vanish_ns : INT64_MAX;
    if (can_write && !m.outbox.empty()) {
        const modem_output& out = m.outbox.front();
        std::int64_t due = out.due_ns;
        if (byte_time > 0 && !out.bytes.empty()) {
            due = std::max(due, m.outbox_free_ns) + byte_time;
        }
        first = std::min(first, due);
    }
    if (can_write && !m.held.empty()) {
        first = std::min(first, m.held_until_ns);
    }
    if (byte_time == 0 || first == INT64_MAX) {
        return first;
    }
    const std::int64_t limit = first + batch_ns;
    std::int64_t last = first;
    std::int64_t free_ns = m.outbox_free_ns;
    for (std::size_t i = 0; can_write && i < m.outbox.size(); ++i) {
        const modem_output& out = m.outbox[i];
        const std::int64_t start = std::max(free_ns, out.due_ns);
        const auto size = static_cast<std::int64_t>(out.bytes.size());
        const std::int64_t leaving = std::min(size, (limit - start) / byte_time);
        if (start > limit || (size > 0 && leaving == 0)) {
            break;
        }
        last = std::max(last, start + leaving * byte_time);
        if (leaving < size) {
            break;
        }
        free_ns = start + size * byte_time;
    }
    if (can_write && !m.held.empty() && m.held_until_ns <= limit) {
        last = std::max(last, m.held_until_ns);
    }
    if (m.state == modem_state::vanishing) {
        last = std::min(last, m.vanish_ns);
    }
    return last;
}

// The longest pause of a step that finds no slave open.
constexpr std::int64_t hang_up_wait_ns = 20'000'000;

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
    // One clock reading makes the deadline; ppoll never returns before it.
    m.now_ns = clock_ns(m);
    std::int64_t wait = step_deadline_ns(m);
    if (wait != INT64_MAX) {
        wait = std::max<std::int64_t>(wait - m.now_ns, 0);
    }
    if (max_wait_ms >= 0) {
        wait = std::min(wait, std::int64_t{max_wait_ms} * 1'000'000);
    }
    const timespec timeout{static_cast<time_t>(wait / 1'000'000'000),
                           static_cast<long>(wait % 1'000'000'000)};
    pollfd p{m.fd, static_cast<short>(POLLIN | (m.write_blocked ? POLLOUT : 0)), 0};
    const int ready = ppoll(&p, 1, wait == INT64_MAX ? nullptr : &timeout, m.wait_mask);
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
        // With no slave open, poll reports the hang-up at once every time:
        // pause instead, so as not to spin.
        const timespec pause{0, static_cast<long>(std::min(wait, hang_up_wait_ns))};
        ppoll(nullptr, 0, &pause, m.wait_mask);
        m.now_ns = clock_ns(m);
    }
    const bool vanishing = m.state == modem_state::vanishing;
    const std::int64_t clock = m.now_ns;
    if (vanishing) {
        // Nothing leaves after the modem has gone.
        m.now_ns = std::min(clock, m.vanish_ns);
    }
    write_output(m);
    if (vanishing && clock >= m.vanish_ns) {
        close_line(m);
    }
}

void modem_drain(modem& m) {
    if (m.fd < 0) {
        return;
    }
    m.now_ns = clock_ns(m);
    char buffer[4096];
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t n = read(m.fd, buffer, sizeof buffer);
        if (n > 0) {
            note(m, true, std::string(buffer, static_cast<std::size_t>(n)));
        } else if (n == 0 || errno != EINTR) {
            return;
        }
    }
}
