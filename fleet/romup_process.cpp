#include "romup_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/wait.h>
#include <unistd.h>

std::string romup_beside_me() {
    std::string self(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size());
    if (length <= 0) {
        return "romup";
    }
    self.resize(static_cast<std::string::size_type>(length));
    return self.substr(0, self.rfind('/') + 1) + "romup";
}

bool start_romup(const std::vector<std::string>& words, romup_child& child) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        return false;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        close(input[0]);
        close(input[1]);
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // The fleet's own handling of signals is none of romup's business:
        // romup starts as it would from a shell.
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
            std::signal(signal_number, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        execv(argv[0], argv.data());
        const std::string why =
            "romup-fleet: cannot run " + words[0] + ": " + std::strerror(errno) + "\n";
        [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, why.data(), why.size());
        _exit(127);
    }
    const int saved = errno;
    close(input[0]);
    close(output[1]);
    if (pid < 0) {
        close(input[1]);
        close(output[0]);
        errno = saved;
        return false;
    }
    fcntl(output[0], F_SETFL, fcntl(output[0], F_GETFL) | O_NONBLOCK);
    child.pid = pid;
    child.input = input[1];
    child.output = output[0];
    return true;
}

void answer_romup(romup_child& child, const std::string& answer) {
    if (child.input == -1) {
        return;
    }
    // A run that has ended leaves a pipe without reader: its SIGPIPE is no
    // signal the operator sent, and must not reach the fleet's handler.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t saved;
    sigprocmask(SIG_BLOCK, &pipe_signal, &saved);
    bool broken = false;
    std::string::size_type done = 0;
    while (done < answer.size()) {
        const ssize_t written = write(child.input, answer.data() + done, answer.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            broken = errno == EPIPE;
            break;
        }
        done += static_cast<std::string::size_type>(written);
    }
    if (broken) {
        const timespec now{};
        sigtimedwait(&pipe_signal, nullptr, &now);
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    close(child.input);
    child.input = -1;
}

int reap_romup(romup_child& child) {
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    child.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
