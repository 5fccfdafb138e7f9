#include "harness.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

std::string progress_line(const std::string& heading, const std::vector<int>& percents) {
    std::string line = heading;
    for (int percent : percents) {
        char update[32];
        std::snprintf(update, sizeof update, progress_update_format,
                      static_cast<long long>(percent));
        line += update;
    }
    return line + "\r\n";
}

std::string question(const std::string& reply, const std::string& firmware) {
    return around(loader_reply_text, reply) + around(question_text, firmware);
}

small_run::small_run(const std::string& loader, const std::string& firmware_text,
                     const std::string& answer)
    : loader_content(loader), firmware_content(firmware_text),
      firmware(dir.file("fw.hex", firmware_text)) {
    options.args = {"-p{port}", "-f" + firmware, "-l" + dir.file("loader.hex", loader)};
    options.answer = answer;
    options.modem.check_records = false;
    options.modem.erase_ms = 0;
}

std::string small_run::until_question() const {
    return banner + progress_line(loader_heading, percents_of(loader_content)) +
           question(ready, firmware);
}

std::string small_run::until_uploaded() const {
    return until_question() + erasing +
           progress_line(firmware_heading, percents_of(firmware_content));
}

namespace {

// The end of romup's question, and of romup-fleet's ("Reprogram 2 modems [Y/N]? ").
const std::string question_end = "[Y/N]? ";

bool sleeps(const run_options& options) {
    return !options.busy_poll && !options.production && options.binary.empty() &&
           options.launcher.empty();
}

std::vector<std::string> command_of(const run_options& options, const std::string& port) {
    std::vector<std::string> args = options.launcher;
    args.push_back(!options.binary.empty() ? options.binary
                   : options.production    ? ROMUP_BINARY
                                           : ROMUP_FAST_BINARY);
    if (sleeps(options)) {
        args.push_back("-w");
    }
    for (const std::string& arg : options.args) {
        args.push_back(with_paths(arg, {{"{port}", port}}));
    }
    return args;
}

} // namespace

run_result run_romup(const run_options& options) {
    // A write to a romup that has already ended must not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    run_result result;
    pty_pair pty = open_raw_pty();
    result.port_path = pty.slave_path;
    result.sleeping_waits = sleeps(options);

    std::atomic<bool> stop{false};
    std::atomic<pid_t> child{-1};
    sim_scenario scenario = options.modem;
    if (options.signal_at_firmware_line > 0) {
        scenario.on_firmware_line = [&](int line) {
            if (line == options.signal_at_firmware_line) {
                for (int signal_number : options.signals) {
                    kill(child.load(), signal_number);
                }
            }
        };
    }
    if (options.before_start) {
        options.before_start(pty.slave_path);
    }
    std::thread modem;
    if (options.with_modem) {
        modem = std::thread([&] { sim_serve(pty.master, scenario, result.line, stop); });
    }

    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const auto started = std::chrono::steady_clock::now();
    spawn_setup setup;
    setup.in = in[0];
    setup.out = out[1];
    setup.err = err[1];
    setup.cwd = options.cwd;
    setup.environment = options.environment;
    const pid_t pid = spawn_program(command_of(options, pty.slave_path), setup);
    if (pid == -1) {
        throw std::runtime_error("cannot start romup");
    }
    child = pid;
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // Read both outputs until romup closes them; answer the question once it
    // is on the screen, as an operator would, or at once without an output.
    bool out_open = true, err_open = true;
    const auto deadline = started + std::chrono::seconds(options.deadline_s);
    while (out_open || err_open) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        poll(fds, 2, 100);
        char chunk[4096];
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            const long n = read_some(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0) {
                (i == 0 ? out_open : err_open) = false;
            }
        }
        if (options.on_poll) {
            options.on_poll(pid, result.out);
        }
        const bool asked = ends_with(result.out, question_end);
        if (in[1] != -1 && (asked || !out_open)) {
            if (asked && options.at_question) {
                options.at_question(pid, pty.master);
            }
            write_all(in[1], options.answer);
            close(in[1]);
            in[1] = -1;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            result.err += "\n[harness: romup did not end within " +
                          std::to_string(options.deadline_s) + " s]\n";
            break;
        }
    }
    if (in[1] != -1) {
        close(in[1]);
    }
    close(out[0]);
    close(err[0]);
    int wait_status = 0;
    rusage usage{};
    wait4(pid, &wait_status, 0, &usage);
    result.wall_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    result.max_rss_kb = usage.ru_maxrss;
    result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;

    stop = true;
    if (modem.joinable()) {
        modem.join();
    }
    if (termios settings{}; tcgetattr(pty.slave, &settings) == 0) {
        result.have_settings = true;
        result.ispeed = cfgetispeed(&settings);
        result.ospeed = cfgetospeed(&settings);
        result.cflag = settings.c_cflag;
        result.iflag = settings.c_iflag;
        result.oflag = settings.c_oflag;
        result.lflag = settings.c_lflag;
        result.vmin = settings.c_cc[VMIN];
        result.vtime = settings.c_cc[VTIME];
    }
    // The modem closes the master itself when it vanishes.
    if (result.line.vanished) {
        pty.master = -1;
    }
    close_pty(pty);
    return result;
}

std::string without_warnings(const std::string& out) {
    std::string kept = out;
    for (std::size_t at = 0; (at = kept.find("Warning: ", at)) != std::string::npos;) {
        const std::size_t end = kept.find("\r\n", at);
        if ((at > 0 && kept[at - 1] != '\n') || end == std::string::npos) {
            ++at;
        } else {
            kept.erase(at, end + 2 - at);
        }
    }
    return kept;
}

std::string reload_hint(const std::string& port, const std::string& firmware, int speed,
                        bool sleeping_waits) {
    const std::string waits = sleeping_waits ? " -w" : "";
    return std::string(flash_incomplete_text) + run_reload_text + "  romup -c" + waits + " -p" +
           port + " -f" + firmware + " -s" + std::to_string(speed) + "\r\n";
}
