#include "harness.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

const std::string banner = "\r\nFlash loader for Tavrin 3306 modems version 1.5."
                           " Keep the modem powered until the run ends.\r\n\n";
const std::string usage =
    "usage:\r\n romup [-c] -p<port> -f<firmware> [-s<speed>] [-l<loader>]\r\n";
const std::string loader_heading = "Moving loader code to the RAM -   0%";
const std::string firmware_heading = "Loading new firmware code to the Flash -   0%";
const std::string probe_commands = "AT&F1\rAT\rAT&FE&D3V\r";

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "romup-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::string temp_dir::file(const std::string& name, const std::string& content) const {
    const std::string file_path = path + "/" + name;
    std::ofstream out(file_path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return file_path;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

pty_pair open_raw_pty() {
    pty_pair pty;
    if (!sim_open_pty(pty, B9600)) {
        throw std::runtime_error("openpty failed");
    }
    return pty;
}

void close_pty(pty_pair& pty) {
    sim_close_pty(pty);
}

std::string progress_line(const std::string& heading, const std::vector<int>& percents) {
    std::string line = heading;
    for (int percent : percents) {
        char update[32];
        std::snprintf(update, sizeof update, "\b\b\b\b%3d%%", percent);
        line += update;
    }
    return line + "\r\n";
}

namespace {

void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

void write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

const std::string question_end = "Reprogram [Y/N]? ";

} // namespace

run_result run_romup(const run_options& options) {
    // A write to a romup that has already ended must not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    run_result result;
    pty_pair pty = open_raw_pty();
    result.port_path = pty.slave_path;

    std::vector<std::string> args;
    args.push_back(options.production ? ROMUP_BINARY : ROMUP_FAST_BINARY);
    for (std::string arg : options.args) {
        const std::size_t at = arg.find("{port}");
        if (at != std::string::npos) {
            arg.replace(at, 6, pty.slave_path);
        }
        args.push_back(arg);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

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
    int lock_holder = -1;
    if (options.port_locked) {
        lock_holder = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (lock_holder == -1 || flock(lock_holder, LOCK_EX | LOCK_NB) != 0) {
            throw std::runtime_error("cannot lock the port");
        }
    }
    std::thread modem;
    if (options.with_modem) {
        modem = std::thread([&] { sim_serve(pty.master, scenario, result.line, stop); });
    }

    int in[2], out[2], err[2];
    make_pipe(in);
    make_pipe(out);
    make_pipe(err);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (options.close_stdout) {
        posix_spawn_file_actions_addclose(&actions, 1);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (!options.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
    }
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.push_back(*entry);
    }
    std::vector<std::string> added = options.environment;
    for (std::string& entry : added) {
        environment.push_back(entry.data());
    }
    environment.push_back(nullptr);
    // romup inherits the limit; the test keeps it only for the spawn, far
    // less than a second of its own processor time.
    rlimit own_limit{};
    getrlimit(RLIMIT_CPU, &own_limit);
    if (options.cpu_limit_seconds > 0) {
        rlimit lowered = own_limit;
        lowered.rlim_cur = static_cast<rlim_t>(options.cpu_limit_seconds);
        setrlimit(RLIMIT_CPU, &lowered);
    }
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environment.data());
    setrlimit(RLIMIT_CPU, &own_limit);
    if (spawned != 0) {
        throw std::runtime_error("cannot start romup");
    }
    posix_spawn_file_actions_destroy(&actions);
    child = pid;
    close(in[0]);
    close(out[1]);
    close(err[1]);
    std::thread watcher;
    if (options.while_running) {
        watcher = std::thread([&] { options.while_running(pid); });
    }

    // Read both outputs until romup closes them; answer the question once it
    // is on the screen, as an operator would.
    bool answered = false;
    if (options.close_stdout) {
        // No question to wait for: the answer is there from the start.
        write_all(in[1], options.answer);
        close(in[1]);
        answered = true;
    }
    bool out_open = true, err_open = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(100);
    while (out_open || err_open) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        poll(fds, 2, 100);
        char chunk[4096];
        for (int i = 0; i < 2; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0) {
                (i == 0 ? out_open : err_open) = false;
            }
        }
        if (!answered && result.out.size() >= question_end.size() &&
            result.out.compare(result.out.size() - question_end.size(), question_end.size(),
                               question_end) == 0) {
            for (int signal_number : options.signals_at_question) {
                kill(pid, signal_number);
            }
            if (!options.modem_bytes_at_question.empty()) {
                write_all(pty.master, options.modem_bytes_at_question);
            }
            write_all(in[1], options.answer);
            close(in[1]);
            answered = true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            result.err += "\n[harness: romup did not end within 100 s]\n";
            break;
        }
    }
    if (!answered) {
        close(in[1]);
    }
    close(out[0]);
    close(err[0]);
    if (watcher.joinable()) {
        watcher.join();
    }
    int wait_status = 0;
    rusage usage{};
    wait4(pid, &wait_status, 0, &usage);
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    result.max_rss_kb = usage.ru_maxrss;
    result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;

    stop = true;
    if (modem.joinable()) {
        modem.join();
    }
    termios settings{};
    if (tcgetattr(pty.slave, &settings) == 0) {
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
    if (lock_holder != -1) {
        close(lock_holder);
    }
    // The modem closes the master itself when it vanishes.
    if (result.line.vanished) {
        pty.master = -1;
    }
    close_pty(pty);
    return result;
}

const std::string aborted = "\r\nAborted\r\nPlease reset your modem to continue\r\n";
const std::string erasing = "\r\n\n\nDo NOT touch your computer or modem!\r\n\n\nErasing Flash\r\n";
const std::string loaded =
    "New firmware code was successfully loaded to the Flash\r\nTrying to reset the modem...\r\n";

std::string question(const std::string& reply, const std::string& firmware) {
    return "\r\n" + reply + "\r\n\n" + "Ready to transfer [" + firmware +
           "] to the Flash. Reprogram [Y/N]? ";
}

std::vector<int> percents_of(const std::string& content) {
    std::vector<int> percents;
    std::size_t position = 0;
    int shown = 0;
    while (position < content.size()) {
        const std::size_t line_feed = content.find('\n', position);
        const std::size_t line_end =
            line_feed == std::string::npos ? content.size() : line_feed + 1;
        position = std::min(line_end, position + 1023);
        const int percent = static_cast<int>(position * 100 / content.size());
        if (percent != shown) {
            percents.push_back(percent);
            shown = percent;
        }
    }
    return percents;
}

void wait_until_queued(int slave_fd, int count) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int queued = 0; queued < count && std::chrono::steady_clock::now() < give_up;) {
        ioctl(slave_fd, FIONREAD, &queued);
    }
}

std::string without_warnings(const std::string& out) {
    static const std::string mark = "Warning: ";
    std::string kept = out;
    std::size_t at = 0;
    while ((at = kept.find(mark, at)) != std::string::npos) {
        const std::size_t end = kept.find("\r\n", at);
        if ((at > 0 && kept[at - 1] != '\n') || end == std::string::npos) {
            at += mark.size();
            continue;
        }
        kept.erase(at, end + 2 - at);
    }
    return kept;
}

std::string reload_hint(const std::string& port, const std::string& firmware, int speed) {
    return "\r\nThe Flash is incomplete. Keep the modem powered: the loader still runs in its "
           "RAM.\r\nRun romup again at once in re-load mode:\r\n  romup -c -p" +
           port + " -f" + firmware + " -s" + std::to_string(speed) + "\r\n";
}
