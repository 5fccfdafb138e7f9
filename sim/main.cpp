// romup-sim: a simulated Tavrin 3306 on a pseudo-terminal, so that a whole
// reprogramming can be rehearsed with romup before touching real equipment.
// The modem keeps its state from one romup run to the next, as a real one does.
#include "modem.h"
#include "option_number.h"
#include "pseudo_terminal.h"
#include "sim.h"
#include "transcript.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <getopt.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char usage_text[] =
    "usage: romup-sim [options]\n"
    "\n"
    "A simulated Tavrin 3306 modem for rehearsing romup. Creates a pseudo-terminal,\n"
    "prints its path (\"romup-sim: modem on /dev/pts/N\") and answers there as the\n"
    "modem would: AT commands, the loader upload into RAM, the erase, the firmware\n"
    "upload into Flash and the restart. It serves one romup run after another, the\n"
    "modem keeping its state between them, until interrupted (SIGINT, SIGTERM,\n"
    "SIGHUP): it then saves the Flash, removes the link and says it stopped.\n"
    "A standard output that closes does not stop the modem.\n"
    "\n"
    "The modem's states and its answers in each: romup-sim(1), man/romup-sim.1.\n"
    "\n"
    "Options:\n"
    "  --link PATH            also make a symbolic link PATH to the device (an existing\n"
    "                         link there is replaced); removed on exit\n"
    "  --once                 serve one run, then exit: the run ends when romup closes\n"
    "                         the device after sending its first byte\n"
    "  --loader-running       start with the loader already in RAM (for romup -c)\n"
    "  --flash FILE           write the Flash's data bytes to FILE, from address 0 to\n"
    "                         the highest programmed (gaps 0xFF), whenever the loader\n"
    "                         ends programming with \"X\", and on exit if the Flash\n"
    "                         changed since\n"
    "  --log FILE             write a transcript of every byte in both directions,\n"
    "                         with times since start, to FILE as it happens\n"
    "  --pace                 bytes travel at the line rate romup set on the port,\n"
    "                         10 bits a byte, in both directions\n"
    "  --latency MS           hold what the modem sends until MS milliseconds (0 to\n"
    "                         255) after the first byte of its batch, or until 62\n"
    "                         bytes wait, as a USB adapter's latency timer does\n"
    "                         (16 on FTDI adapters by default, 1 with low latency)\n"
    "  --loader-ack=KIND      how the loader acknowledges a good line: cr, dot (the\n"
    "                         default), zero (\"0\" CR) or eight (\"8\" CR LF)\n"
    "  --firmware-ack=KIND    how a good firmware line is acknowledged: dot (the\n"
    "                         default) or cr (CR LF)\n"
    "  --no-record-check      acknowledge every line as good, checksum or not\n"
    "  --erase-ms N           the erase takes N milliseconds (default 1500)\n"
    "\n"
    "Faults to rehearse:\n"
    "  --silent               never send a byte\n"
    "  --probe-without-zero   answer AT&FE&D3V with OK and no \"0\"\n"
    "  --bad-loader-ack N     answer loader line N with \"E\"\n"
    "  --no-loader-ack N      leave loader line N unanswered\n"
    "  --no-ready             announce the loader without READY\n"
    "  --erase-never-ends     never send the \"0\" that ends the erase\n"
    "  --erase-noise N        send N other bytes (\".\") before the erase's \"0\"\n"
    "  --bad-firmware-ack N   answer firmware line N with \"E\"\n"
    "  --no-firmware-ack N    leave firmware line N unanswered\n"
    "  --firmware-fault-once  the two faults above act in the first firmware upload\n"
    "                         only, so that a romup -c after it can succeed\n"
    "  --no-startup-answer    say nothing to STARTUP (the restart still happens)\n"
    "  --no-ok                answer AT&F1 with its echo only, no OK\n"
    "  --vanish-loader N      close the device on receiving loader line N, and exit\n"
    "  --vanish-firmware N    close the device on receiving firmware line N, and exit\n"
    "\n"
    "  --help                 show this text\n"
    "\n"
    "Line numbers N count from 1 within each upload. Each option may be repeated.\n"
    "\n"
    "Exit status: 0 when interrupted, after --once, or after the modem vanished;\n"
    "1 when the device, the link or a file cannot be made (the Flash file is\n"
    "tried at start), or the Flash could not be written; 2 on bad usage.\n";

// The signal that ended the session; 0 while none has.
volatile std::sig_atomic_t interrupted = 0;

void on_signal(int signal_number) {
    interrupted = signal_number;
}

// A Flash write failed at some point of the session.
bool flash_write_failed = false;

struct sim_options {
    sim_scenario scenario;
    std::string link_path;
    std::string flash_path;
    std::string log_path;
    bool once = false;
    bool pace = false;
};

// The pseudo-terminal. The simulator's own slave handle keeps the device and
// its settings alive between runs; it is never read, which would steal romup's bytes.
struct sim_device {
    int master = -1;
    int slave = -1;
    std::string path;
    bool linked = false;
};

enum option_id {
    opt_link = 256,
    opt_once,
    opt_loader_running,
    opt_silent,
    opt_loader_ack,
    opt_firmware_ack,
    opt_no_record_check,
    opt_erase_ms,
    opt_probe_without_zero,
    opt_bad_loader_ack,
    opt_no_loader_ack,
    opt_bad_firmware_ack,
    opt_no_firmware_ack,
    opt_firmware_fault_once,
    opt_no_ready,
    opt_erase_never_ends,
    opt_erase_noise,
    opt_no_startup_answer,
    opt_no_ok,
    opt_vanish_loader,
    opt_vanish_firmware,
    opt_pace,
    opt_flash,
    opt_log,
    opt_latency,
    opt_help,
};

// A line number, for the options that name one.
bool line_number(const char* option, const char* text, int& value) {
    if (!parse_option_number(text, 1, 10'000'000, value)) {
        std::fprintf(stderr, "romup-sim: %s needs a line number from 1 on, not '%s'\n", option,
                     text);
        return false;
    }
    return true;
}

// Maps one option onto the scenario or the program's settings; false on a bad value.
bool apply_option(int id, const char* value, sim_options& o) {
    sim_scenario& s = o.scenario;
    const std::string text = value != nullptr ? value : "";
    int n = 0;
    switch (id) {
    case opt_link:
        o.link_path = text;
        return true;
    case opt_once:
        o.once = true;
        return true;
    case opt_loader_running:
        s.start = sim_start::loader_running;
        return true;
    case opt_silent:
        s.silent = true;
        return true;
    case opt_loader_ack:
        if (text == "cr") {
            s.loader_ack = sim_loader_ack::cr;
        } else if (text == "dot") {
            s.loader_ack = sim_loader_ack::dot;
        } else if (text == "zero") {
            s.loader_ack = sim_loader_ack::zero;
        } else if (text == "eight") {
            s.loader_ack = sim_loader_ack::eight;
        } else {
            std::fprintf(stderr, "romup-sim: --loader-ack is cr, dot, zero or eight\n");
            return false;
        }
        return true;
    case opt_firmware_ack:
        if (text == "dot") {
            s.firmware_ack = sim_firmware_ack::dot;
        } else if (text == "cr") {
            s.firmware_ack = sim_firmware_ack::cr;
        } else {
            std::fprintf(stderr, "romup-sim: --firmware-ack is dot or cr\n");
            return false;
        }
        return true;
    case opt_no_record_check:
        s.check_records = false;
        return true;
    case opt_erase_ms:
        if (!parse_option_number(value, 0, 600'000, s.erase_ms)) {
            std::fprintf(stderr, "romup-sim: --erase-ms needs 0 to 600000\n");
            return false;
        }
        return true;
    case opt_probe_without_zero:
        s.answers.push_back({"AT&FE&D3V", 0, "\r\nOK\r\n"});
        return true;
    case opt_bad_loader_ack:
    case opt_no_loader_ack:
        if (!line_number(id == opt_bad_loader_ack ? "--bad-loader-ack" : "--no-loader-ack", value,
                         n)) {
            return false;
        }
        s.loader_ack_at[n] = id == opt_bad_loader_ack ? "E" : "";
        return true;
    case opt_bad_firmware_ack:
    case opt_no_firmware_ack:
        if (!line_number(id == opt_bad_firmware_ack ? "--bad-firmware-ack" : "--no-firmware-ack",
                         value, n)) {
            return false;
        }
        s.firmware_ack_at[n] = id == opt_bad_firmware_ack ? "E" : "";
        return true;
    case opt_firmware_fault_once:
        s.firmware_faults_once = true;
        return true;
    case opt_no_ready:
        s.loader_ready = "\r\nTAVRIN 3306 RAM LOADER\r\n";
        return true;
    case opt_erase_never_ends:
        s.erase_answer.clear();
        return true;
    case opt_erase_noise:
        if (!parse_option_number(value, 0, 10'000, n)) {
            std::fprintf(stderr, "romup-sim: --erase-noise needs 0 to 10000\n");
            return false;
        }
        s.erase_answer = std::string(static_cast<std::size_t>(n), '.') + "0";
        return true;
    case opt_no_startup_answer:
        s.answers.push_back({"STARTUP", 0, ""});
        return true;
    case opt_no_ok:
        s.answers.push_back({"AT&F1", 0, ""});
        return true;
    case opt_vanish_loader:
        return line_number("--vanish-loader", value, s.vanish_at_loader_line);
    case opt_vanish_firmware:
        return line_number("--vanish-firmware", value, s.vanish_at_firmware_line);
    case opt_pace:
        o.pace = true;
        return true;
    case opt_flash:
        o.flash_path = text;
        return true;
    case opt_log:
        o.log_path = text;
        return true;
    case opt_latency:
        if (!parse_option_number(value, 0, 255, s.latency_ms)) {
            std::fprintf(stderr, "romup-sim: --latency needs 0 to 255 milliseconds\n");
            return false;
        }
        return true;
    default:
        return false;
    }
}

// 0: go on; 1: --help given; 2: bad usage, reported on standard error.
int parse_options(int argc, char** argv, sim_options& o) {
    static const option options[] = {
        {"link", required_argument, nullptr, opt_link},
        {"once", no_argument, nullptr, opt_once},
        {"loader-running", no_argument, nullptr, opt_loader_running},
        {"silent", no_argument, nullptr, opt_silent},
        {"loader-ack", required_argument, nullptr, opt_loader_ack},
        {"firmware-ack", required_argument, nullptr, opt_firmware_ack},
        {"no-record-check", no_argument, nullptr, opt_no_record_check},
        {"erase-ms", required_argument, nullptr, opt_erase_ms},
        {"probe-without-zero", no_argument, nullptr, opt_probe_without_zero},
        {"bad-loader-ack", required_argument, nullptr, opt_bad_loader_ack},
        {"no-loader-ack", required_argument, nullptr, opt_no_loader_ack},
        {"bad-firmware-ack", required_argument, nullptr, opt_bad_firmware_ack},
        {"no-firmware-ack", required_argument, nullptr, opt_no_firmware_ack},
        {"firmware-fault-once", no_argument, nullptr, opt_firmware_fault_once},
        {"no-ready", no_argument, nullptr, opt_no_ready},
        {"erase-never-ends", no_argument, nullptr, opt_erase_never_ends},
        {"erase-noise", required_argument, nullptr, opt_erase_noise},
        {"no-startup-answer", no_argument, nullptr, opt_no_startup_answer},
        {"no-ok", no_argument, nullptr, opt_no_ok},
        {"vanish-loader", required_argument, nullptr, opt_vanish_loader},
        {"vanish-firmware", required_argument, nullptr, opt_vanish_firmware},
        {"pace", no_argument, nullptr, opt_pace},
        {"flash", required_argument, nullptr, opt_flash},
        {"log", required_argument, nullptr, opt_log},
        {"latency", required_argument, nullptr, opt_latency},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    int id;
    while ((id = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        if (id == opt_help) {
            return 1;
        }
        if (!apply_option(id, optarg, o)) {
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "romup-sim: unexpected argument '%s'\n", argv[optind]);
        return 2;
    }
    return 0;
}

bool open_device(sim_device& device, const std::string& link_path) {
    // Raw from its creation: a slave opened before romup configures it must
    // neither echo nor translate line ends.
    sim_pty pty;
    if (!sim_open_pty(pty, B19200)) {
        std::perror("romup-sim: cannot create a pseudo-terminal");
        return false;
    }
    device.master = pty.master;
    device.slave = pty.slave;
    device.path = pty.slave_path;
    if (!link_path.empty()) {
        struct stat status;
        if (lstat(link_path.c_str(), &status) == 0) {
            if (!S_ISLNK(status.st_mode)) {
                std::fprintf(stderr, "romup-sim: %s exists and is not a symbolic link\n",
                             link_path.c_str());
                return false;
            }
            unlink(link_path.c_str());
        }
        if (symlink(device.path.c_str(), link_path.c_str()) != 0) {
            std::fprintf(stderr, "romup-sim: cannot make the link %s\n", link_path.c_str());
            return false;
        }
        device.linked = true;
    }
    return true;
}

void close_device(sim_device& device, const std::string& link_path) {
    if (device.linked) {
        unlink(link_path.c_str());
    }
    if (device.slave >= 0) {
        close(device.slave);
    }
    if (device.master >= 0) {
        close(device.master);
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

bool write_flash(const std::string& path, const std::vector<std::uint8_t>& flash) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
    return std::fclose(file) == 0 && written;
}

void save_flash(modem& m, const sim_options& o) {
    m.flash_changed = false;
    if (o.flash_path.empty()) {
        return;
    }
    if (write_flash(o.flash_path, m.record->flash)) {
        std::printf("romup-sim: Flash written to %s (%zu bytes)\n", o.flash_path.c_str(),
                    m.record->flash.size());
    } else {
        std::printf("romup-sim: cannot write the Flash to %s\n", o.flash_path.c_str());
        flash_write_failed = true;
    }
}

// What the operator watching romup-sim is told about.
struct modem_view {
    modem_state state = modem_state::command;
    int erases = 0;
    int programs_completed = 0;
    int restarts = 0;
};

modem_view view_of(const modem& m) {
    return modem_view{m.state, m.erases, m.programs_completed, m.restarts};
}

void report(const modem_view& before, modem& m, const sim_options& o) {
    if (before.state == modem_state::command && m.state == modem_state::loader_receiving) {
        std::printf("romup-sim: receiving the loader\n");
    }
    if (before.state != modem_state::loader_running && m.state == modem_state::loader_running) {
        std::printf("romup-sim: loader started after %d lines\n", m.record->loader_lines);
    }
    if (m.erases != before.erases) {
        std::printf("romup-sim: Flash erased\n");
    }
    if (m.programs_completed != before.programs_completed) {
        std::printf("romup-sim: Flash programmed with %d lines\n", m.record->firmware_lines);
        save_flash(m, o);
    }
    if (m.restarts != before.restarts) {
        std::printf("romup-sim: modem restarted\n");
    }
    if (m.state == modem_state::vanished) {
        std::printf("romup-sim: modem vanished\n");
    }
    std::fflush(stdout);
}

// Writes the transcript so far to the log, then lets the record forget it: the
// modem never reads back what crossed the line, and a long session would pile up.
void flush_log(std::FILE* log, sim_record& record) {
    if (log != nullptr && !record.transcript.empty()) {
        for (const sim_event& event : record.transcript) {
            std::fputs(sim_event_text(event).c_str(), log);
        }
        std::fflush(log);
    }
    record.transcript.clear();
    record.received.clear();
    record.sent.clear();
}

void serve(sim_device& device, const sim_options& o, std::FILE* log) {
    sim_record record;
    modem m;
    modem_begin(m, device.master, o.scenario, record);
    bool heard = false;
    while (interrupted == 0 && m.state != modem_state::vanished) {
        if (o.pace) {
            m.bits_per_second = line_rate(device.slave >= 0 ? device.slave : device.master);
        }
        const modem_view before = view_of(m);
        modem_step(m, 20);
        heard = heard || !record.received.empty();
        report(before, m, o);
        flush_log(log, record);
        // Once romup has spoken it holds the device open; with the simulator's
        // own handle gone, the hang-up then shows when romup closes it.
        if (o.once && heard) {
            if (device.slave >= 0) {
                close(device.slave);
                device.slave = -1;
            } else if (m.hung_up) {
                std::printf("romup-sim: romup closed the device\n");
                break;
            }
        }
    }
    modem_drain(m);
    flush_log(log, record);
    if (m.state == modem_state::vanished) {
        device.master = -1;
    }
    if (m.flash_changed) {
        save_flash(m, o);
    }
}

void catch_signals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the signal cuts the wait in poll short.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal: the link must not be left pointing at a device
    // number that another program may get next.
    sigaction(SIGHUP, &action, nullptr);
    // An output pipe that closes early must not stop the modem mid-run; what
    // is printed after that is lost, nothing else.
    std::signal(SIGPIPE, SIG_IGN);
}

const char* signal_name(int signal_number) {
    switch (signal_number) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "a signal";
    }
}

// Whether the Flash file can be written, found before the modem is offered
// rather than after programming. A file made only for the trial is removed.
bool flash_file_writable(const std::string& path) {
    struct stat status;
    const bool existed = stat(path.c_str(), &status) == 0;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd < 0) {
        return false;
    }
    close(fd);
    if (!existed) {
        unlink(path.c_str());
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    sim_options options;
    const int parsed = parse_options(argc, argv, options);
    if (parsed == 1) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (parsed == 2) {
        std::fputs("Try 'romup-sim --help'.\n", stderr);
        return 2;
    }
    std::FILE* log = nullptr;
    if (!options.log_path.empty()) {
        log = std::fopen(options.log_path.c_str(), "w");
        if (log == nullptr) {
            std::fprintf(stderr, "romup-sim: cannot write the log %s\n", options.log_path.c_str());
            return 1;
        }
    }
    if (!options.flash_path.empty() && !flash_file_writable(options.flash_path)) {
        std::fprintf(stderr, "romup-sim: cannot write the Flash to %s\n",
                     options.flash_path.c_str());
        if (log != nullptr) {
            std::fclose(log);
        }
        return 1;
    }
    sim_device device;
    if (!open_device(device, options.link_path)) {
        close_device(device, options.link_path);
        if (log != nullptr) {
            std::fclose(log);
        }
        return 1;
    }
    std::printf("romup-sim: modem on %s\n", device.path.c_str());
    if (device.linked) {
        std::printf("romup-sim: linked as %s\n", options.link_path.c_str());
    }
    std::fflush(stdout);
    catch_signals();
    serve(device, options, log);
    close_device(device, options.link_path);
    if (log != nullptr) {
        std::fclose(log);
    }
    if (interrupted != 0) {
        std::printf("romup-sim: stopped by %s\n", signal_name(interrupted));
    }
    return flash_write_failed ? 1 : 0;
}
