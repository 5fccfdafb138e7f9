#include "romup_process.h"

#include "fleet_io.h"
#include "fleet_signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::string romup_beside_me() {
    std::string self(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size());
    if (length <= 0) {
        return "romup";
    }
    self.resize(static_cast<std::string::size_type>(length));
    return self.substr(0, self.rfind('/') + 1) + "romup";
}

int start_romup(const std::vector<std::string>& words, romup_child& child) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        return errno;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        const int error = errno;
        close(input[0]);
        close(input[1]);
        return error;
    }
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &fleet_signal_set());
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    if (error != 0) {
        close(input[1]);
        close(output[0]);
        return error;
    }
    fcntl(output[0], F_SETFL, fcntl(output[0], F_GETFL) | O_NONBLOCK);
    child.pid = pid;
    child.input = input[1];
    child.output = output[0];
    return 0;
}

bool answer_romup(romup_child& child, const char* answer) {
    if (child.input == -1) {
        return false;
    }
    // A run that has ended leaves a pipe without reader: the write fails with
    // EPIPE, and the SIGPIPE it raises waits, blocked, to be taken as nothing.
    const bool written = write_in_full(child.input, answer, std::strlen(answer));
    const int error = errno;
    close(child.input);
    child.input = -1;
    errno = error;
    return written;
}

bool reap_romup(romup_child& child, int& status, int& signal_number, bool wait) {
    if (child.pid == -1) {
        return true;
    }
    int wait_status = 0;
    pid_t reaped = 0;
    do {
        reaped = waitpid(child.pid, &wait_status, wait ? 0 : WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0) {
        return false;
    }
    child.pid = -1;
    if (reaped < 0) {
        status = -1;
        signal_number = 0;
    } else if (WIFEXITED(wait_status)) {
        status = WEXITSTATUS(wait_status);
    } else {
        status = -1;
        signal_number = WTERMSIG(wait_status);
    }
    return true;
}

void signal_romup(const romup_child& child, int signal_number) {
    if (child.pid != -1) {
        kill(-child.pid, signal_number);
    }
}
