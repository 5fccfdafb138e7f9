#include "testbed.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "romup-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path = pattern;
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

bool write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
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

void wait_until_queued(int slave_fd, int count) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int queued = 0; queued < count && std::chrono::steady_clock::now() < give_up;) {
        ioctl(slave_fd, FIONREAD, &queued);
    }
}
