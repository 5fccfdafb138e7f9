// romup-sim: a simulated Tavrin 3306 on a pseudo-terminal, so that a whole
// reprogramming can be rehearsed with romup before touching real equipment.
// The modem keeps its state from one romup run to the next, as a real one does.
#include "modem.h"
#include "options.h"
#include "pseudo_terminal.h"
#include "sim.h"
#include "transcript.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

// The signal that ended the session; 0 while none has.
volatile std::sig_atomic_t interrupted = 0;

void on_signal(int signal_number) {
    interrupted = signal_number;
}

// A Flash write failed at some point of the session.
bool flash_write_failed = false;

// The pseudo-terminal. The simulator's own slave handle keeps the device and
// its settings alive between runs; it is never read, which would steal romup's bytes.
struct sim_device {
    int master = -1;
    int slave = -1;
    std::string path;
    bool linked = false;
};

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
    const int parsed = parse_sim_options(argc, argv, options);
    if (parsed == 1) {
        std::fputs(sim_usage_text, stdout);
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
