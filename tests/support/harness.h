// Running a romup binary against the simulated modem, served in this process
// on a fresh pseudo-terminal (the tests and the benchmarks run romup through
// run_romup alone); and the texts romup prints, to compare its output with.
#pragma once

#include "framing.h"
#include "rows.h"
#include "sim.h"
#include "testbed.h"
#include "texts/messages.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct run_options {
    // The arguments after the command name, "{port}" in any of them the port's path.
    std::vector<std::string> args;
    // The operator's answer, typed once the question is on the screen (at once when romup's
    // standard output is closed), then end of input.
    std::string answer;
    // The folder romup runs in ("": the test's own).
    std::string cwd;
    // The real romup, with the real 2 s and 200 ms, instead of the test build.
    bool production = false;
    // Without it the test build starts with -w before args: its waits sleep and many runs
    // share the processors. Set for the default mode's waits (they poll, counting processor
    // time) and for args alone (as the real romup always has).
    bool busy_poll = false;
    // Without a modem nobody serves the pseudo-terminal (it stays silent).
    bool with_modem = true;
    sim_scenario modem;
    // Called once the question is on the screen, before the answer, with romup's id and the
    // modem's end of the line: what happens while the operator thinks.
    std::function<void(pid_t, int)> at_question;
    // signals are sent to romup after this firmware line (0: none).
    int signal_at_firmware_line = 0;
    std::vector<int> signals;
    // Called with the port's path once it exists, before romup starts.
    std::function<void(const std::string&)> before_start;
    // Another romup program to run ("": the test build, or with production the real one).
    std::string binary;
    // A program and its first arguments, before romup's path and arguments (the benchmarks').
    std::vector<std::string> launcher;
    // "NAME=value" entries added to the environment the program starts with.
    std::vector<std::string> environment;
    // Called on this thread at every output and every 100 ms while the program
    // runs, with the process started (the launcher, if any) and its output so far.
    std::function<void(pid_t, const std::string&)> on_poll;
    // The program is killed, and the result says so, after this long.
    int deadline_s = 100;
};

struct run_result {
    int status = -1;             // exit status; -1 when romup did not exit normally
    std::string out;             // everything on standard output
    std::string err;             // everything on standard error (romup writes none)
    sim_record line;             // what crossed the line, as the modem saw it
    std::string port_path;       // the pseudo-terminal's slave path
    bool sleeping_waits = false; // the harness started romup with -w
    double cpu_seconds = 0;      // romup's processor time, user and system
    // The peak resident memory wait4 reports: Linux starts a child at the peak
    // of its parent, so only a small launcher (the benchmarks') makes it romup's.
    long max_rss_kb = 0;
    double wall_seconds = 0;
    // The port's settings after romup ended, read while the line still exists.
    bool have_settings = false;
    unsigned long ispeed = 0, ospeed = 0, cflag = 0, iflag = 0, oflag = 0, lflag = 0;
    int vmin = -1, vtime = -1;
};

run_result run_romup(const run_options& options);

// A run of two small images against a modem that checks no records and
// erases at once, each image a file in a folder of the run's own.
struct small_run {
    temp_dir dir;
    std::string loader_content;
    std::string firmware_content;
    std::string firmware; // the firmware's path
    run_options options;
    // "-p{port}", the firmware and the loader as arguments; answer at the question.
    small_run(const std::string& loader, const std::string& firmware, const std::string& answer);
    // Standard output up to the question, the loader having announced itself.
    std::string until_question() const;
    // Standard output up to the end of the firmware's progress line.
    std::string until_uploaded() const;
};

// romup's texts, from the constants romup prints; inline: initialised before any test
// file's constant built from them.

// What romup prints before anything else.
inline const std::string banner = banner_text;
inline const std::string usage = usage_text;

// Standard output without the whole lines that begin with "Warning: " (romup's warnings
// about the firmware image), for firmware that is ill-formed on purpose.
std::string without_warnings(const std::string& out);

// What romup prints after a failure once the erase has begun (with -w when the run had it).
std::string reload_hint(const std::string& port, const std::string& firmware, int speed,
                        bool sleeping_waits);

// A progress line: heading, the updates to each percentage in turn, CR LF.
std::string progress_line(const std::string& heading, const std::vector<int>& percents);
inline const std::string loader_heading = loader_heading_text;
inline const std::string firmware_heading = firmware_heading_text;

// The probe's commands as they go on the line.
inline const std::string probe_commands = "AT&F1\rAT\rAT&FE&D3V\r";

// The loader's last reply shown, then the question about firmware.
std::string question(const std::string& reply, const std::string& firmware);
// What follows a refusal.
inline const std::string aborted = std::string(aborted_text) + reset_modem_text;
// What precedes the firmware upload once the operator has confirmed.
inline const std::string erasing = std::string(do_not_touch_text) + erasing_text;
// What follows a successful upload and restart.
inline const std::string loaded = std::string(flash_loaded_text) + resetting_text;

// The end-of-file record that ends a loader image and starts the loader.
inline const std::string eof_record = ":00000001FF\n";
// The simulated loader's announcement when it starts.
inline const std::string ready = sim_scenario{}.loader_ready;
// The smallest well-formed firmware image: one data record and the end.
inline const std::string good_firmware = ":0100000000FF\n" + eof_record;
// What romup sends after a firmware upload: restart, then reset twice.
inline const std::string restart_commands = "XSTARTUP\rAT&F1\rAT&F1\r";
