#include "line_cost.h"

#include "exact_line.h"
#include "pseudo_terminal.h"
#include "support.h"

#include "line/port.h"
#include "run/state.h"
#include "transfer/upload.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Set while romup's upload runs: on a refused or missing answer it ends the
// process through its own failure exit, whose message goes to the silenced
// standard output.
bool in_romup_upload = false;

void explain_romup_exit() {
    if (in_romup_upload) {
        std::fputs("romup-bench: romup's upload ended the process: the peer did not answer\n",
                   stderr);
    }
}

// Standard output goes to /dev/null while an upload runs: romup's progress
// line is part of its cost, but not of the report.
struct silenced_stdout {
    int saved = -1;
    silenced_stdout() {
        std::fflush(stdout);
        saved = dup(1);
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, 1);
        close(null_fd);
    }
    ~silenced_stdout() {
        dup2(saved, 1);
        close(saved);
    }
    silenced_stdout(const silenced_stdout&) = delete;
    silenced_stdout& operator=(const silenced_stdout&) = delete;
};

// The peer of the per-line benchmark: answers every CR with "." as soon as it
// has read it, blocking in read meanwhile, and ends once every slave handle is
// closed (the read then fails with EIO).
[[noreturn]] void answer_at_once(int master) {
    char got[4096];
    char dots[4096];
    std::memset(dots, '.', sizeof dots);
    for (;;) {
        const ssize_t n = read(master, got, sizeof got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            _exit(0);
        }
        const auto crs = std::count(got, got + n, '\r');
        if (crs > 0 && write(master, dots, static_cast<std::size_t>(crs)) != crs) {
            _exit(1);
        }
    }
}

// Returns at when_ns: asleep until shortly before, then spinning, so that
// the moment is met to a microsecond or so.
void wait_until(std::int64_t when_ns) {
    constexpr std::int64_t spin_ns = 100'000;
    if (when_ns - wall_ns() > spin_ns) {
        const std::int64_t wake = when_ns - spin_ns;
        const timespec at{static_cast<time_t>(wake / 1'000'000'000),
                          static_cast<long>(wake % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
    }
    while (wall_ns() < when_ns) {
    }
}

// The peer of the paced benchmark: times the bytes with exact_line and sends
// each "." when its ten bits would have arrived. It sleeps between lines
// rather than spinning: with both processors spinning, the kernel work that
// carries bytes across the pseudo-terminal waits for a time slice, which
// costs milliseconds. Its wake-up time on a line's first bytes (microseconds)
// is counted against romup. Reports "LINES BYTES FIRST_NS LAST_NS" on report
// once romup's side closes.
[[noreturn]] void answer_at_line_rate(int master, std::int64_t bits_per_second, int report) {
    // Timers of this process end on time instead of up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    exact_line line = exact_line_at(bits_per_second);
    long lines = 0;
    long long bytes = 0;
    std::int64_t first_ns = -1;
    std::int64_t last_ns = -1;
    char got[4096];
    for (;;) {
        const ssize_t n = read(master, got, sizeof got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        const std::int64_t now = wall_ns();
        if (first_ns < 0) {
            first_ns = now;
        }
        bytes += n;
        std::size_t from = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            if (got[i] != '\r') {
                continue;
            }
            const std::int64_t due = exact_line_take(line, now, i + 1 - from) + line.byte_ns;
            from = i + 1;
            wait_until(due);
            if (write(master, ".", 1) != 1) {
                _exit(1);
            }
            last_ns = wall_ns();
            ++lines;
            ++bytes;
        }
        exact_line_take(line, now, static_cast<std::size_t>(n) - from);
    }
    dprintf(report, "%ld %lld %lld %lld\n", lines, bytes, static_cast<long long>(first_ns),
            static_cast<long long>(last_ns));
    _exit(0);
}

// The least a stop-and-wait upload can do per line: the system calls romup
// makes (fgets, a write of the text, a write of the CR, reads that poll the
// non-blocking port until the answer is there) and nothing more; no clock.
bool minimal_upload(std::FILE* image) {
    char line[1024];
    bool accepted = true;
    while (accepted && std::fgets(line, sizeof line, image) != nullptr) {
        const std::size_t length = std::strcspn(line, "\r\n");
        if (write(port_fd, line, length) != static_cast<ssize_t>(length) ||
            write(port_fd, "\r", 1) != 1) {
            accepted = false;
            break;
        }
        char answer = 0;
        while (read(port_fd, &answer, 1) != 1) {
        }
        accepted = answer == '.';
    }
    std::fclose(image);
    return accepted;
}

// Wall time of romup's upload of image, in nanoseconds; -1 when it cannot be opened.
std::int64_t time_romup(const std::string& image) {
    std::FILE* file = std::fopen(image.c_str(), "r");
    if (file == nullptr) {
        return -1;
    }
    silenced_stdout quiet;
    in_romup_upload = true;
    const std::int64_t start = wall_ns();
    upload_firmware(file);
    const std::int64_t elapsed = wall_ns() - start;
    in_romup_upload = false;
    return elapsed;
}

std::int64_t time_minimal(const std::string& image) {
    std::FILE* file = std::fopen(image.c_str(), "r");
    if (file == nullptr) {
        return -1;
    }
    const std::int64_t start = wall_ns();
    const bool accepted = minimal_upload(file);
    const std::int64_t elapsed = wall_ns() - start;
    return accepted ? elapsed : -1;
}

// A pseudo-terminal with a peer process on its master side and romup's port
// on its slave, this process placed as asked. Ends the peer and frees the
// processors again when it goes.
struct peer_session {
    pid_t peer = -1;
    std::uint64_t cpus_before = 0;
    bool ready = false;

    template <typename peer_main>
    peer_session(const placement& where, std::string& problem, peer_main run_peer) {
        cpus_before = allowed_cpus();
        sim_pty pty;
        if (!sim_open_pty(pty, B115200)) {
            problem = "no pseudo-terminal";
            return;
        }
        peer = fork();
        if (peer == 0) {
            close(pty.slave);
            if (where.peer_cpu >= 0) {
                run_on_cpus(std::uint64_t{1} << where.peer_cpu);
            }
            run_peer(pty.master);
        }
        // As romup opens its port; the slave stays open throughout, so the
        // peer never sees every handle closed before the end.
        port_fd = peer == -1 ? -1 : open(pty.slave_path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
        sim_close_pty(pty);
        if (port_fd == -1) {
            problem = "cannot start the peer or open the port";
            return;
        }
        if (where.tool_cpu >= 0 && !run_on_cpus(std::uint64_t{1} << where.tool_cpu)) {
            problem = "cannot place the benchmark on CPU " + std::to_string(where.tool_cpu);
            return;
        }
        ready = true;
    }
    ~peer_session() {
        if (port_fd != -1) {
            close(port_fd);
            port_fd = -1;
        }
        if (peer > 0) {
            waitpid(peer, nullptr, 0);
        }
        run_on_cpus(cpus_before);
    }
    peer_session(const peer_session&) = delete;
    peer_session& operator=(const peer_session&) = delete;
};

// Stops the process (SIGALRM's default action) if an upload hangs: the
// minimal loop has no time limit.
void guard_for(int lines) {
    alarm(static_cast<unsigned>(30 + lines / 1000));
}

} // namespace

std::string placement_text(const placement& where, const char* tool) {
    std::string text = tool;
    text += where.tool_cpu >= 0 ? " on CPU " + std::to_string(where.tool_cpu) : " unpinned";
    text += where.peer_cpu >= 0 ? ", the peer on CPU " + std::to_string(where.peer_cpu)
                                : ", the peer unpinned";
    return text;
}

std::string make_line_image(int lines) {
    static const char digits[] = "0123456789ABCDEF";
    std::string image;
    image.reserve(static_cast<std::size_t>(lines) * 45);
    std::uint32_t value = 3306;
    for (int i = 0; i < lines; ++i) {
        image += ':';
        for (int j = 0; j < 43; ++j) {
            value = value * 1103515245u + 12345u;
            image += digits[value >> 28];
        }
        image += '\n';
    }
    return image;
}

bool measure_line_cost(const std::string& image, int lines, int rounds, const placement& where,
                       line_cost_result& result, std::string& problem) {
    static const bool registered = std::atexit(explain_romup_exit) == 0;
    static_cast<void>(registered);
    if (reply == nullptr) {
        alloc_buffers();
    }
    peer_session session(where, problem, [](int master) { answer_at_once(master); });
    if (!session.ready) {
        return false;
    }
    guard_for(lines * (2 * rounds + 1));
    // A first pass of each warms the caches, the page cache and the peer.
    time_romup(image);
    time_minimal(image);
    for (int round = 0; round < rounds; ++round) {
        const std::int64_t romup_ns = time_romup(image);
        const std::int64_t minimal_ns = time_minimal(image);
        if (romup_ns < 0 || minimal_ns < 0) {
            problem = "an upload could not run";
            return false;
        }
        result.romup_us.push_back(static_cast<double>(romup_ns) / 1e3 / lines);
        result.minimal_us.push_back(static_cast<double>(minimal_ns) / 1e3 / lines);
    }
    alarm(0);
    return true;
}

bool measure_paced_upload(const std::string& image, std::int64_t bits_per_second,
                          const placement& where, uploader which, paced_upload_result& result,
                          std::string& problem) {
    static const bool registered = std::atexit(explain_romup_exit) == 0;
    static_cast<void>(registered);
    if (reply == nullptr) {
        alloc_buffers();
    }
    int report[2];
    if (pipe(report) != 0) {
        problem = "no pipe";
        return false;
    }
    {
        peer_session session(where, problem, [&](int master) {
            close(report[0]);
            answer_at_line_rate(master, bits_per_second, report[1]);
        });
        close(report[1]);
        const bool uploaded =
            session.ready &&
            (which == uploader::romup ? time_romup(image) : time_minimal(image)) >= 0;
        if (!uploaded) {
            close(report[0]);
            if (problem.empty()) {
                problem = "the upload could not run";
            }
            return false;
        }
    }
    char text[160] = {};
    const ssize_t n = read(report[0], text, sizeof text - 1);
    close(report[0]);
    long long bytes = 0, first_ns = 0, last_ns = 0;
    if (n <= 0 ||
        std::sscanf(text, "%d %lld %lld %lld", &result.lines, &bytes, &first_ns, &last_ns) != 4 ||
        result.lines == 0) {
        problem = "the paced peer gave no report";
        return false;
    }
    result.bytes = bytes;
    result.elapsed_us = static_cast<double>(last_ns - first_ns) / 1e3;
    result.limit_us = static_cast<double>(bytes) * 1e7 / static_cast<double>(bits_per_second);
    return true;
}
