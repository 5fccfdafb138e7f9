// romup-sim: a simulated Tavrin 3306 on a pseudo-terminal, so that a whole
// reprogramming can be rehearsed with romup before touching real equipment.
// The modem keeps its state from one romup run to the next, as a real one does.
#include "modem.h"
#include "options.h"
#include "pseudo_terminal.h"
#include "sim.h"
#include "transcript.h"
#include "write_all.h"

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

void save_flash(modem& m, const sim_options& o) {
    m.flash_changed = false;
    if (o.flash_path.empty()) {
        return;
    }
    const std::vector<std::uint8_t>& flash = m.record->flash;
    if (sim_write_file(o.flash_path.c_str(), reinterpret_cast<const char*>(flash.data()),
                       flash.size())) {
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

// Writes the transcript so far to the log (fd; -1 for none), then lets the
// record forget it: the modem never reads back what crossed the line, and a
// long session would pile up.
void flush_log(int log_fd, sim_record& record) {
    if (log_fd >= 0 && !record.transcript.empty()) {
        const std::string text = sim_transcript_text(record);
        sim_write_all(log_fd, text.data(), text.size());
    }
    record.transcript.clear();
    record.received.clear();
    record.sent.clear();
}

// The signal mask before catch_signals blocked the signals that end a
// session: the mask while the modem waits.
sigset_t wait_mask;

void serve(sim_device& device, const sim_options& o, int log_fd) {
    sim_record record;
    modem m;
    modem_begin(m, device.master, o.scenario, record);
    m.follow_rate = o.pace;
    m.wait_mask = &wait_mask;
    bool heard = false;
    while (interrupted == 0 && m.state != modem_state::vanished) {
        const modem_view before = view_of(m);
        // No time limit: the line, the modem's own deadlines and the signals
        // each end the wait, and an idle modem costs nothing.
        modem_step(m, -1);
        heard = heard || !record.received.empty();
        report(before, m, o);
        flush_log(log_fd, record);
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
    flush_log(log_fd, record);
    if (m.state == modem_state::vanished) {
        device.master = -1;
    }
    if (m.flash_changed) {
        save_flash(m, o);
    }
}

// The signals that end a session are blocked but while the modem waits in
// ppoll, which lets them in atomically: one that comes just before the wait
// still cuts it short, and none breaks into a write.
void catch_signals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the signal cuts the wait in ppoll short.
    action.sa_flags = 0;
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    // A closed terminal: the link must not be left pointing at a device
    // number that another program may get next.
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, &wait_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
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
    int log_fd = -1;
    if (!options.log_path.empty()) {
        log_fd = open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (log_fd < 0) {
            std::fprintf(stderr, "romup-sim: cannot write the log %s\n", options.log_path.c_str());
            return 1;
        }
    }
    if (!options.flash_path.empty() && !flash_file_writable(options.flash_path)) {
        std::fprintf(stderr, "romup-sim: cannot write the Flash to %s\n",
                     options.flash_path.c_str());
        if (log_fd >= 0) {
            close(log_fd);
        }
        return 1;
    }
    sim_device device;
    if (!open_device(device, options.link_path)) {
        close_device(device, options.link_path);
        if (log_fd >= 0) {
            close(log_fd);
        }
        return 1;
    }
    std::printf("romup-sim: modem on %s\n", device.path.c_str());
    if (device.linked) {
        std::printf("romup-sim: linked as %s\n", options.link_path.c_str());
    }
    std::fflush(stdout);
    catch_signals();
    serve(device, options, log_fd);
    close_device(device, options.link_path);
    if (log_fd >= 0) {
        close(log_fd);
    }
    if (interrupted != 0) {
        std::printf("romup-sim: stopped by %s\n", signal_name(interrupted));
    }
    return flash_write_failed ? 1 : 0;
}
