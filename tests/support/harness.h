// Shared fixtures of the tests: temporary folders and files, raw
// pseudo-terminals, and running the real romup binary against the simulated
// modem with everything it printed and everything that crossed the line.
#pragma once

#include "pseudo_terminal.h"
#include "sim.h"

#include <functional>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

// A folder of its own for one test, removed with everything in it at the end.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    // Writes content (any bytes) to a file in the folder; returns its path.
    std::string file(const std::string& name, const std::string& content) const;
};

std::string read_file(const std::string& path);

// A pseudo-terminal pair, raw from its creation (no echo, no translation).
using pty_pair = sim_pty;
pty_pair open_raw_pty();
void close_pty(pty_pair& pty);

struct run_options {
    // The arguments after the command name; "{port}" in any of them stands
    // for the path of the pseudo-terminal the modem answers on.
    std::vector<std::string> args;
    // The operator's answer, typed once the question is on the screen;
    // standard input ends after it.
    std::string answer;
    // romup starts with its standard output closed (nothing is captured, and
    // the answer is on standard input from the start).
    bool close_stdout = false;
    // The folder romup runs in ("": the test's own).
    std::string cwd;
    // The real romup, with the real 2 s and 200 ms, instead of the test build.
    bool production = false;
    // Without a modem nobody serves the pseudo-terminal (it stays silent).
    bool with_modem = true;
    sim_scenario modem;
    // Bytes the modem sends while the question is open, before the answer.
    std::string modem_bytes_at_question;
    // Signals sent to romup while the question is open, before the answer.
    std::vector<int> signals_at_question;
    // Signals sent to romup after this firmware line (0: none).
    int signal_at_firmware_line = 0;
    std::vector<int> signals;
    // Another process (the test) holds the port's advisory lock for the run.
    bool port_locked = false;
    // romup starts with this soft processor-time limit in seconds (0: the
    // test's own).
    int cpu_limit_seconds = 0;
    // Called with romup's process id on a thread of its own once romup has
    // started; the run ends only after it has returned.
    std::function<void(pid_t)> while_running;
    // Added to romup's environment, each NAME=value (a preloaded library's
    // settings, say).
    std::vector<std::string> environment;
};

struct run_result {
    int status = -1;        // exit status; -1 when romup did not exit normally
    std::string out;        // everything on standard output
    std::string err;        // everything on standard error (romup writes none)
    sim_record line;        // what crossed the line, as the modem saw it
    std::string port_path;  // the pseudo-terminal's slave path
    double cpu_seconds = 0; // romup's processor time, user and system
    long max_rss_kb = 0;    // romup's peak resident memory
    // The port's settings after romup ended, read while the line still exists.
    bool have_settings = false;
    unsigned long ispeed = 0, ospeed = 0, cflag = 0, iflag = 0, oflag = 0, lflag = 0;
    int vmin = -1, vtime = -1;
};

run_result run_romup(const run_options& options);

// What romup prints before anything else.
extern const std::string banner;
extern const std::string usage;

// Standard output without the warnings about the firmware image that romup
// prints at the question (whole lines that begin with "Warning: "), for tests
// whose firmware is no well-formed image on purpose.
std::string without_warnings(const std::string& out);

// What romup prints after a failure once the erase has begun.
std::string reload_hint(const std::string& port, const std::string& firmware, int speed);

// A progress line: heading, the updates to each percentage in turn, CR LF.
std::string progress_line(const std::string& heading, const std::vector<int>& percents);
extern const std::string loader_heading;
extern const std::string firmware_heading;

// The probe's commands as they go on the line.
extern const std::string probe_commands;

// The loader's last reply shown, then the question about firmware.
std::string question(const std::string& reply, const std::string& firmware);
// What follows a refusal.
extern const std::string aborted;
// What precedes the firmware upload once the operator has confirmed.
extern const std::string erasing;
// What follows a successful upload and restart.
extern const std::string loaded;

// The percentages an upload of content shows: after each image line (at most
// 1023 bytes, up to its LF), the share of the bytes read, each value once,
// never 0.
std::vector<int> percents_of(const std::string& content);

// Waits until count bytes written on the master side can be read on the
// slave side: a pseudo-terminal hands bytes on a little after the write, and
// on a loaded machine that can take longer than the test build's short limit.
void wait_until_queued(int slave_fd, int count);

// Inline, so that a test file's own constants may be built from them: they
// are initialised before anything defined after this header.
// The end-of-file record that ends a loader image and starts the loader.
inline const std::string eof_record = ":00000001FF\n";
// The simulated loader's announcement when it starts.
inline const std::string ready = sim_scenario{}.loader_ready;
// The smallest well-formed firmware image: one data record and the end.
inline const std::string good_firmware = ":0100000000FF\n" + eof_record;
// What romup sends after a firmware upload: restart, then reset twice.
inline const std::string restart_commands = "XSTARTUP\rAT&F1\rAT&F1\r";

// Table rows show by their names in test listings. A test file brings this
// into the namespace of its row types with
// `using test_rows::operator<<;`, where gtest's printer finds it.
namespace test_rows {
template <typename Row>
auto operator<<(std::ostream& out, const Row& row) -> decltype(out << row.name) {
    return out << row.name;
}
} // namespace test_rows
