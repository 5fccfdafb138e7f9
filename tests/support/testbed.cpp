#include "testbed.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sched.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

temp_dir::temp_dir()
    : path((std::filesystem::temp_directory_path() / "romup-test-XXXXXX").string()) {
    if (mkdtemp(path.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

temp_dir::~temp_dir() {
    // A test may have taken the folder's permissions away.
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

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string with_paths(std::string text,
                       const std::vector<std::pair<std::string, std::string>>& paths) {
    for (const auto& [mark, path] : paths) {
        for (std::size_t at = text.find(mark); at != std::string::npos;
             at = text.find(mark, at + path.size())) {
            text.replace(at, mark.size(), path);
        }
    }
    return text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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

bool write_all(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

long read_some(int fd, char* buffer, unsigned long size) {
    for (;;) {
        const ssize_t n = read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) {
            return n;
        }
    }
}

std::string read_available(int fd) {
    std::string got;
    char chunk[4096];
    for (long n; (n = read_some(fd, chunk, sizeof chunk)) > 0;) {
        got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
}

stdout_to_file::stdout_to_file(const std::string& path) {
    std::fflush(stdout);
    saved = dup(1);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(file, 1);
    close(file);
}

stdout_to_file::~stdout_to_file() {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
}

deadline_guard::deadline_guard(unsigned seconds) {
    alarm(seconds);
}

deadline_guard::~deadline_guard() {
    alarm(0);
}

std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    return argv;
}

fifo_writer::fifo_writer(const std::string& fifo_path, const std::string& content, bool close_after)
    : path(fifo_path) {
    if (mkfifo(path.c_str(), 0600) != 0) {
        throw std::runtime_error("mkfifo failed");
    }
    writer = std::thread([this, content, close_after] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        int fd;
        while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) == -1) {
            if (std::chrono::steady_clock::now() > give_up) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        fcntl(fd, F_SETFL, 0);
        write_all(fd, content);
        if (!close_after) {
            std::this_thread::sleep_for(std::chrono::seconds(3));
        }
        close(fd);
    });
}

fifo_writer::~fifo_writer() {
    writer.join();
}

pid_t spawn_program(std::vector<std::string> args, const spawn_setup& setup) {
    std::vector<char*> argv = argv_of(args);
    std::vector<std::string> variables = setup.environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        variables.emplace_back(*variable);
    }
    std::vector<char*> envp = argv_of(variables);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int streams[] = {setup.in, setup.out, setup.err};
    for (int target = 0; target < 3; ++target) {
        if (streams[target] != -1) {
            posix_spawn_file_actions_adddup2(&actions, streams[target], target);
        }
    }
    if (!setup.log.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, setup.log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    if (!setup.cwd.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, setup.cwd.c_str());
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (setup.default_signals) {
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal_number : {SIGPIPE, SIGHUP, SIGINT, SIGTERM}) {
            sigaddset(&defaults, signal_number);
        }
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    }
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? pid : -1;
}

pid_t start_program(std::vector<std::string> args, const std::string& log) {
    spawn_setup setup;
    setup.log = log;
    return spawn_program(std::move(args), setup);
}

bool wait_for_file(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    struct stat info {};
    while (lstat(path.c_str(), &info) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool ended_well(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

busy_processes::busy_processes(int count, int cpu) {
    const pid_t parent = getpid();
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(1);
            }
            if (cpu >= 0) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(cpu, &one);
                sched_setaffinity(0, sizeof one, &one);
            }
            for (;;) {
            }
        }
        pids.push_back(pid);
    }
}

busy_processes::~busy_processes() {
    for (pid_t pid : pids) {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
}
