// The test bed of the tests, the benchmarks and the fuzz targets. Nothing
// here knows romup or asserts: each helper reports by its result or throws.
#pragma once

#include "pseudo_terminal.h"

#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

// A folder of one test's own, removed with everything in it at the end.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    // Writes content (any bytes) to a file in the folder; returns its path.
    std::string file(const std::string& name, const std::string& content) const;
};

bool ends_with(const std::string& text, const std::string& end);

// text with every mark in it replaced by its path ("{port}" by a port's, say).
std::string with_paths(std::string text,
                       const std::vector<std::pair<std::string, std::string>>& paths);

// The whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

// A pseudo-terminal pair, raw from its creation, at 9600 bit/s; throws when
// none can be had.
using pty_pair = sim_pty;
pty_pair open_raw_pty();
void close_pty(pty_pair& pty);

// The tests' one write loop and one read: every test and helper writes and
// reads a descriptor through them.
// Writes all of bytes, again after a signal or a short write; false when fd
// fails (a peer that has gone, say) or, non-blocking, takes no more now.
bool write_all(int fd, const std::string& bytes);

// One read of up to size bytes that a signal does not cut short: the count,
// 0 at the end, -1 on a failure or when a non-blocking fd has nothing.
long read_some(int fd, char* buffer, unsigned long size);

// Everything fd (non-blocking, or at its end) holds now, up to its end.
std::string read_available(int fd);

// Standard output to the file at path (created or emptied) while the object
// lives, flushed both ways.
struct stdout_to_file {
    explicit stdout_to_file(const std::string& path);
    ~stdout_to_file();
    stdout_to_file(const stdout_to_file&) = delete;
    stdout_to_file& operator=(const stdout_to_file&) = delete;

  private:
    int saved = -1;
};

// Processes that keep processors busy while the object lives (a loaded host),
// killed with their parent should it end first; all on processor cpu (-1: any).
struct busy_processes {
    busy_processes(int count, int cpu);
    ~busy_processes();
    busy_processes(const busy_processes&) = delete;
    busy_processes& operator=(const busy_processes&) = delete;

  private:
    std::vector<pid_t> pids;
};

// A deadline for a test that could hang on a fault: unless the object is gone
// within seconds, SIGALRM ends the process, a failure. One at a time.
struct deadline_guard {
    explicit deadline_guard(unsigned seconds);
    ~deadline_guard();
    deadline_guard(const deadline_guard&) = delete;
    deadline_guard& operator=(const deadline_guard&) = delete;
};

// A FIFO made at path (or a throw) whose writer thread writes content once a reader opens
// it, then closes it (3 s later with close_after false: a writer that stalls); it gives up
// after 20 s without a reader, so that a test that never opens it still ends.
struct fifo_writer {
    std::string path;
    std::thread writer;
    fifo_writer(const std::string& fifo_path, const std::string& content, bool close_after = true);
    ~fifo_writer();
};

// Pointers into args and a null pointer, for exec or posix_spawn.
std::vector<char*> argv_of(std::vector<std::string>& args);

// How spawn_program starts a program.
struct spawn_setup {
    // The program's standard input, output and error (-1: the test's own).
    int in = -1, out = -1, err = -1;
    // Standard output and error to this file, created or emptied ("": none).
    std::string log;
    // The folder it runs in ("": the test's own).
    std::string cwd;
    // "NAME=value" entries added to the test's environment.
    std::vector<std::string> environment;
    // SIGPIPE, SIGHUP, SIGINT and SIGTERM at their default action (as from a shell).
    bool default_signals = false;
};

// Starts args[0] with the rest as its arguments: its process id, or -1.
pid_t spawn_program(std::vector<std::string> args, const spawn_setup& setup);

// spawn_program with standard output and error to the file log.
pid_t start_program(std::vector<std::string> args, const std::string& log);

// Waits up to 5 s for something (a link, a file) at path; true once it is.
bool wait_for_file(const std::string& path);

// Waits up to seconds for pid to end, then kills it; true when it exited by itself with 0.
bool ended_well(pid_t pid, int seconds);
