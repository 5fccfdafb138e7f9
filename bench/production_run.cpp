#include "production_run.h"

#include "pseudo_terminal.h"
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

const std::string question_end = "Reprogram [Y/N]? ";

void close_fd(int& fd) {
    if (fd != -1) {
        close(fd);
        fd = -1;
    }
}

// Starts romup-bench-launch with romup's arguments; its report comes on
// descriptor 3. Returns the process id, or -1.
pid_t start_launcher(const std::vector<std::string>& romup_args, int in, int out, int report) {
    std::vector<std::string> args = {ROMUP_BENCH_LAUNCH, "3", ROMUP_BINARY};
    args.insert(args.end(), romup_args.begin(), romup_args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, out, 2);
    posix_spawn_file_actions_adddup2(&actions, report, 3);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

void read_to_end(int fd, std::string& text) {
    char chunk[256];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
}

// Waits for the launcher's first report line, "started PID"; returns the
// pid, or -1 when the launcher ended without starting romup.
pid_t read_started(int fd, std::string& text) {
    while (text.find('\n') == std::string::npos) {
        char chunk[256];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    long pid = -1;
    return std::sscanf(text.c_str(), "started %ld", &pid) == 1 ? static_cast<pid_t>(pid) : -1;
}

// RssAnon of a running process, in KiB; 0 when it cannot be read.
long anonymous_kb(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::FILE* status = std::fopen(path.c_str(), "r");
    if (status == nullptr) {
        return 0;
    }
    long kb = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "RssAnon: %ld", &kb) == 1) {
            break;
        }
    }
    std::fclose(status);
    return kb;
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

production_result run_production(const production_run& run) {
    production_result result;
    // A romup that has ended must not end the benchmarks with a write.
    std::signal(SIGPIPE, SIG_IGN);
    sim_pty pty;
    if (!sim_open_pty(pty, B115200)) {
        result.problem = "no pseudo-terminal";
        return result;
    }
    std::atomic<bool> stop{false};
    // The simulator keeps its own slave handle (pty.slave) open for the whole
    // session, so that its poll on the master does not report a hang-up.
    std::thread modem([&] { sim_serve(pty.master, run.modem, result.line, stop); });

    int in[2] = {-1, -1}, out[2] = {-1, -1}, report[2] = {-1, -1};
    pid_t pid = -1;
    if (pipe2(in, O_CLOEXEC) == 0 && pipe2(out, O_CLOEXEC) == 0 && pipe2(report, O_CLOEXEC) == 0) {
        std::vector<std::string> args = {"-p" + pty.slave_path};
        args.insert(args.end(), run.args.begin(), run.args.end());
        pid = start_launcher(args, in[0], out[1], report[1]);
    }
    const std::int64_t started = wall_ns();
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(report[1]);
    if (pid == -1) {
        result.problem = "cannot start romup-bench-launch";
    }

    // Read what romup prints until it ends; answer the question once it is on
    // the screen, as an operator would.
    const std::int64_t deadline = started + std::int64_t{run.deadline_s} * 1'000'000'000;
    bool answered = false;
    std::string report_text;
    const pid_t romup = pid == -1 ? -1 : read_started(report[0], report_text);
    while (romup > 0 && out[0] != -1) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char chunk[4096];
            const ssize_t n = read(out[0], chunk, sizeof chunk);
            if (n > 0) {
                result.out.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close_fd(out[0]);
            }
        }
        result.sampled_anon_kb = std::max(result.sampled_anon_kb, anonymous_kb(romup));
        if (!answered && ends_with(result.out, question_end)) {
            // A romup that is gone already shows that in its status.
            const ssize_t written = write(in[1], "y\n", 2);
            static_cast<void>(written);
            close_fd(in[1]);
            answered = true;
        }
        if (wall_ns() > deadline) {
            // romup ignores SIGTERM while its port is open.
            kill(romup, SIGKILL);
            result.problem = "romup did not end within " + std::to_string(run.deadline_s) + " s";
            break;
        }
    }
    close_fd(in[1]);
    close_fd(out[0]);
    if (pid != -1) {
        int launcher_status = 0;
        waitpid(pid, &launcher_status, 0);
        result.wall_s = static_cast<double>(wall_ns() - started) / 1e9;
        read_to_end(report[0], report_text);
        const std::size_t ended = report_text.find("ended ");
        long user_us = 0, system_us = 0;
        if (ended != std::string::npos &&
            std::sscanf(report_text.c_str() + ended, "ended %d %ld %ld %ld", &result.status,
                        &result.max_rss_kb, &user_us, &system_us) == 4) {
            result.cpu_s = static_cast<double>(user_us + system_us) / 1e6;
            result.ran = result.problem.empty();
        } else if (result.problem.empty()) {
            result.problem = "romup-bench-launch gave no report";
        }
    }
    close_fd(report[0]);

    stop = true;
    modem.join();
    if (result.line.vanished) {
        pty.master = -1;
    }
    sim_close_pty(pty);
    return result;
}
